#ifndef INDEXRECORD_H
#define INDEXRECORD_H

#include "packageindex.h"

class QIODevice;

// Unpacks one local record of the archive, as fetched by range, into `target`: `source`
// is positioned at the record's first byte and holds at least entry.length bytes from
// there. Only a record that names the entry and unpacks to exactly its size and digest
// passes; `target` may hold a partial file otherwise. Empty when it passes, otherwise the
// reason.
QString extractRecord(QIODevice* source, const IndexEntry& entry, QIODevice* target);

#endif // INDEXRECORD_H
