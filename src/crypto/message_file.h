// The message file of one envelope. It holds patient data in clear, so it lives in a folder of
// its own (mode 0700, made with mkdtemp under $TMPDIR or /tmp as "qendix-msg-<pid>-XXXXXX", with
// the number of the process that made it and an unpredictable end) and is created exclusively
// with mode 0600 under an unpredictable name. The destructor removes the file and the folder,
// with anything the security client left beside the file, on every path; a folder left by a
// process that was killed is removed by RemoveStaleMessageFolders at the next job start.
// Not thread-safe; one object per envelope.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/hresult_errno.h"
#include "qendix/com.h"

namespace qx {

class MessageFile {
 public:
  // Makes the folder and the empty file, open for writing.
  static HRESULT Create(std::unique_ptr<MessageFile>* file);
  ~MessageFile();
  MessageFile(const MessageFile&) = delete;
  MessageFile& operator=(const MessageFile&) = delete;

  // The file's path (UTF-8), for the security client's load and save.
  const std::string& Path() const { return path_; }

  // Appends bytes. Fails once the file has been closed for writing.
  HRESULT Append(std::string_view bytes);
  // Closes the write handle; the content is then complete for the security client.
  HRESULT CloseForWriting();
  // Reads the whole file as it is now. A file larger than `maxBytes` fails (E_FAIL) without
  // being read; a missing file fails with its system error.
  HRESULT Read(size_t maxBytes, std::string* content) const;

 private:
  MessageFile() = default;
  std::string folder_;
  std::string path_;
  int fd_ = -1;
};

// Removes the message folders, with the files in them, that processes which have ended left
// behind in the temporary folder (a crash or kill between the creation of a message file and its
// destructor). Only folders of exactly the pattern above are touched, and only real folders (not
// links) owned by this user whose process is no longer running; a folder of a running process
// (this one included) is left alone, so two processes of the user never remove each other's
// message files. Called at the start of every job. Returns the number of folders removed.
int RemoveStaleMessageFolders();

}  // namespace qx
