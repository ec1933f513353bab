// File-system operations the steps need, with the guarantees the work directory relies on:
// a move never overwrites a file that is there (also under races) and moves only the regular
// file that was listed, never what a symbolic link points to; files that others read are
// replaced atomically.
//
// Results: functions that can fail return an HRESULT, S_OK or the errno value of the first
// failure as a facility-7 code (HresultFromErrno; ErrnoFromHresult gives the errno back, see
// hresult_errno.h). Nothing is left in the thread's last error.
//
// Permissions: what the component makes is private to the user that runs it, whoever made the
// invoices it holds. Folders are created 0700 (kPrivateFolderMode) and files 0600
// (kPrivateFileMode): invoices are patient data, and no group is configured that could share
// them. A file that WriteFileAtomically replaces gets the given mode as well, plus group read if
// the old file had it (a group that someone gave it on purpose keeps reading it); its world bits,
// group write and setuid/setgid/sticky bits are gone after its next write. An existing folder of
// this user that CreateDirectoryLevel finds loses the permission bits outside the mode asked
// for, so work folders made by an earlier version become private too.
//
// All functions are thread-safe as far as the file system is (no shared state).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qendix/com.h"

namespace qx {

// Permission of every folder the component creates for its work.
constexpr unsigned kPrivateFolderMode = 0700;
// Permission of every file the component creates or replaces.
constexpr unsigned kPrivateFileMode = 0600;
// The largest file a move across file systems copies (256 MiB). A larger file is refused with
// EFBIG and stays where it is: no invoice comes near this, and the bound keeps a planted sparse
// file of a terabyte from filling the work disk.
constexpr uint64_t kMaxMoveCopyBytes = uint64_t{256} << 20;

// Joins a folder and a name with one "/".
std::string JoinPath(const std::string& folder, const std::string& name);

// The part after the last "/".
std::string BaseName(const std::string& path);

// The part before the last "/" ("/" for a file in the root, "." when there is no "/").
std::string FolderOf(const std::string& path);

bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
// An existing folder that this process may read and write.
bool IsUsableDirectory(const std::string& path);

// Creates one folder level with `mode` (less the umask). S_OK when it was created or already is a
// folder; an existing folder (not a link to one) that this user owns loses its permission bits
// outside `mode`.
HRESULT CreateDirectoryLevel(const std::string& path, unsigned mode = kPrivateFolderMode);

// Moves the regular file `from` to `to` without ever replacing an existing `to`. EEXIST when the
// target exists. Refused, and the file stays: a symbolic link (ELOOP) or anything else that is
// not a regular file (EINVAL), checked on the name itself and again on the descriptor that is
// read, which must be the same file (else EAGAIN).
//
// Within one file system the file is renamed (RENAME_NOREPLACE, or a hard link and unlink where
// the file system lacks it). Across file systems it is copied from one descriptor opened without
// following links and without blocking, into a hidden temporary file beside the target
// ("." + target name + ".move-XXXXXX", mode 0600, no mode bits of the source), at most
// kMaxMoveCopyBytes (else EFBIG); a file that changed while it was copied is refused (EBUSY).
// The copy is flushed, published under `to` without replacing, the target folder flushed, the
// source removed (only if its name still holds the copied file) and the source folder flushed.
// A process killed during the copy leaves the temporary file and the source; RemoveMoveLeftovers
// clears such files. Killed between publishing and removing the source, the file is in both
// places.
HRESULT MoveFileNoReplace(const std::string& from, const std::string& to);

// Removes from `folder` the temporary copies that moves across file systems killed before they
// finished left behind (hidden names of the MoveFileNoReplace pattern; the file they copy is
// still at its source). Other files, hidden or not, are left alone. S_OK also when the folder
// does not exist. For the step framework at the start of a job, while the job lock is held, so
// that no move into the folder is running.
HRESULT RemoveMoveLeftovers(const std::string& folder);

// Writes `content` to `path` atomically: a temporary file beside it with `mode`, flushed to disk,
// renamed over the old file, the folder flushed. A replaced file gets `mode` too, plus group read
// when it had it. A failure to flush the folder is returned although the new content is in place
// (a crash could still bring the old file back).
HRESULT WriteFileAtomically(const std::string& path, const std::string& content,
                            unsigned mode = kPrivateFileMode);

// WriteFileAtomically for content made piece by piece, so that a large file never has to be held
// in memory as a whole: Open makes the temporary file, Write adds to it (buffered), Commit
// flushes it to disk and renames it over `path`, then flushes the folder. Without a successful
// Commit the temporary file is removed when the object goes and `path` is left as it was, unless
// only the folder's flush failed (after the rename, as for WriteFileAtomically). The temporary
// file has no name until Commit renames it (O_TMPFILE; a named hidden file beside `path` where the
// file system or /proc lacks them), so a process killed before Commit leaves no file. The first
// failure is kept: later calls return it and do nothing. One thread; not copyable.
class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  HRESULT Open(const std::string& path, unsigned mode = kPrivateFileMode);
  HRESULT Write(std::string_view data);
  HRESULT Commit();

 private:
  HRESULT Flush();

  std::string path_;
  std::string temp_;
  int fd_ = -1;
  std::string buffer_;
  HRESULT result_ = S_OK;
};

// Writes `content` to a new hidden file beside where a file named `name` is to go in `folder`
// (the pattern of MoveFileNoReplace's temporary copies, mode 0600) and flushes it to disk; *path
// receives its path. The caller publishes it with MoveFileNoReplace (a rename, never replacing)
// or removes it; a process killed before that leaves a file that RemoveMoveLeftovers clears.
HRESULT WriteHiddenTempFile(const std::string& folder, const std::string& name,
                            const std::string& content, std::string* path);

// Appends `content` to the regular file `path` and flushes it to disk. A file that does not exist
// or is empty is created (mode 0600) and gets `prefixIfNew` first; a file whose last line was
// left without its line end (a crash during an earlier append), or whose last byte cannot be
// read, gets `lineEnd` first, so that the new content starts on a line of its own. A file made
// now has its folder flushed too; that failure is returned though the content is written. A file
// that does not exist is made whole in one step (an unnamed file named once flushed), so that a
// failure or a crash never leaves it empty or cut; where the file system has no unnamed files it
// is created and written as above. Never
// follows a link (ELOOP); anything but a regular file is refused (EINVAL).
HRESULT AppendToFileDurably(const std::string& path, std::string_view content,
                            std::string_view prefixIfNew, std::string_view lineEnd);

// Flushes a folder's entries (renames, links, removals) to disk.
HRESULT SyncFolder(const std::string& folder);

// Reads a whole regular file of at most `max_bytes` (EFBIG when larger; EINVAL for anything that
// is not a regular file, without blocking on a FIFO). `content` is changed only on success.
HRESULT ReadFileLimited(const std::string& path, size_t max_bytes, std::string* content);

// Entries of a folder that are regular files and not hidden (name not starting with "."), in the
// order the directory returns them. Directories, links and special files are left out.
HRESULT ListRegularFiles(const std::string& folder, std::vector<std::string>* names);

// What the kernel can tell about writers of a file.
enum class WriterState {
  kNone,     // nobody holds the file open for writing (a read lease was granted)
  kWriting,  // another process (or this one) holds it open for writing (the lease is busy)
  kUnknown,  // the kernel cannot tell: no lease for a file of another user, a network file
             // system, a file that cannot be opened; see writer_check.h for the second look
};

// Asks the kernel through a read lease, opening `path` without following links and without
// blocking. Never changes the file.
WriterState ProbeWriters(const std::string& path);

// Identity, size and modification time of a regular file, read without following links.
struct FileStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modifiedNs = 0;  // nanoseconds since 1970-01-01 UTC
  bool operator==(const FileStamp&) const = default;
};

// Fills `stamp` for the regular file at `path`; ELOOP for a link, EINVAL for any other kind.
HRESULT StampFile(const std::string& path, FileStamp* stamp);

}  // namespace qx
