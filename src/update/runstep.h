#ifndef RUNSTEP_H
#define RUNSTEP_H

// The steps of one update run. A run asks the version questions, then for each step with a
// plan downloads, verifies and installs its packages (or repairs damaged program files), and
// ends by handing over to the main program.
enum class RunStep {
    Starting, // the settings are read and the journal recovered
    Asking, // a version question is in flight
    Downloading, // a package, or the files of one, are fetched
    Verifying, // a downloaded package's signature is fetched and checked
    Installing, // a package's files are put in place and its version recorded
    Repairing, // damaged files of the installed program are fetched and restored
    HandingOver, // the main program is started; the run ends
};

// The step's name, as a debugger or a failed test shows it.
const char* runStepName(RunStep step);

#endif // RUNSTEP_H
