#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

class QueueModel;
struct CVideoItem;
namespace pugi {
class xml_node;
}

// The queue file "project.xml": the queue survives a restart in it.
//
// Layout: `<?xml version="1.0"?>`, root `clipferry ver="2.120222"`, one
// `queue`, one `file` per entry in queue order holding the 30 fields as child elements in
// record order (OverwriteUrl before useTmpName), one tag a line (CR LF), no
// indentation; an empty element stays on one line as start and end tag.
//
// Choices of this program's own:
// - Flags are written as "true" and "false"; the reader takes those in any
//   letter case and integers (0 is false).
// - A `file` element that lacks one of the 28 required fields, or holds a
//   non-numeric text in a numeric one, is skipped; the rest still loads.
// - A second `file` with the path of an earlier one is skipped, row and all.
// - The file holds passwords: it is readable by its owner only, and it is
//   written through a temporary file that replaces the old one when complete.
namespace QueueFile {

// The file in the per-user data folder.
QString defaultPath();

// Fills the queue, every entry waiting; true when the file held a queue,
// so that the window enables Start. A file without "/clipferry/queue" is
// deleted.
bool LoadQueue(const QString &path, QueueModel &queue);
// Writes every entry that has not finished; with none, deletes the file.
// False when the file could not be written (the old one is kept).
bool SaveQueue(const QString &path, const QueueModel &queue);
// One record as a `file` element appended to `parent`, and back; none when
// a required field is missing or not a number.
void WriteRecord(pugi::xml_node parent, const CVideoItem &item);
std::optional<CVideoItem> ReadRecord(const pugi::xml_node &file);

} // namespace QueueFile
