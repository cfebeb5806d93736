#ifndef READONLYMARK_H
#define READONLYMARK_H

#include <QString>

// Windows refuses to delete a file marked read-only or to replace it, and to open it for
// writing, though it may be renamed; programs copied from a CD or a USB stick carry the mark
// on every file. Removes the mark from `path`; true when the file carried it and no longer
// does. Elsewhere a file's own mode never stops its removal or replacement, so nothing is
// changed and the answer is false.
bool clearReadOnlyMark(const QString& path);

#endif // READONLYMARK_H
