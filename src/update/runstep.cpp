#include "runstep.h"

const char* runStepName(RunStep step)
{
    switch (step) {
    case RunStep::Starting:
        return "starting";
    case RunStep::Asking:
        return "asking";
    case RunStep::Downloading:
        return "downloading";
    case RunStep::Verifying:
        return "verifying";
    case RunStep::Installing:
        return "installing";
    case RunStep::Repairing:
        return "repairing";
    case RunStep::HandingOver:
        return "handing over";
    }
    return "unknown";
}
