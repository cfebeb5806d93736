#ifndef REMOVEDIRTREE_H
#define REMOVEDIRTREE_H

#include <QString>

// Deletes the directory `path` with everything below it. True when the tree,
// `path` included, is gone or was never there; false at the first entry that could not be
// removed, leaving the tree partly deleted. Entries that are not both readable and
// writable, and system entries, are neither listed nor removed. A symbolic link is removed
// as itself, never followed, whatever its target's permissions and even when it dangles;
// `path` itself being a link removes only the link.
bool removeTree(const QString& path);

#endif // REMOVEDIRTREE_H
