// The files through which a message goes to the security client and its envelope comes back.
//
// A MessageFolder is a private folder (mode 0700, made with mkdtemp under $TMPDIR or /tmp as
// "qendix-msg-<pid>-XXXXXX", with the number of the process that made it and an unpredictable
// end). The client saves envelopes into it; its destructor removes it with everything in it. An
// Anonymizer step keeps one for all its envelopes; a folder left by a process that was killed is
// removed by RemoveStaleMessageFolders at the next job start.
//
// A MessageFile holds one message, which is patient data in clear. When the folder found that the
// client can be handed a memory file, the message is a memory file (memfd, mode 0600) that the
// client loads through /proc/self/fd: the clear text then never has a name in any file system and
// vanishes when the file is closed, also when the process is killed. Otherwise it is a file created
// exclusively with mode 0600 under an unpredictable name in the folder, and the client saves the
// envelope over it. The destructor removes the message and the saved envelope on every path.
//
// Not thread-safe: a folder and its message files are used by one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/hresult_errno.h"
#include "qendix/com.h"

namespace qx {

// Where a message is written before the security client loads it: a MessageFile, or a text in
// memory when the client takes messages in memory (smime_envelope.h).
class MessageWriter {
 public:
  // Appends bytes.
  virtual HRESULT Append(std::string_view bytes) = 0;
  // Says that about `more` bytes are still to come (a hint; writing more or less is fine).
  virtual void Reserve(size_t more) = 0;

 protected:
  ~MessageWriter() = default;
};

class MessageFolder {
 public:
  // Makes the folder and finds out whether messages can be memory files.
  static HRESULT Create(std::unique_ptr<MessageFolder>* folder);
  ~MessageFolder();
  MessageFolder(const MessageFolder&) = delete;
  MessageFolder& operator=(const MessageFolder&) = delete;

  const std::string& Path() const { return path_; }
  // Removes the folder with the files in it now; the failure (an errno result) when it could not
  // be removed whole. What is left is removed at the start of a later job (see
  // RemoveStaleMessageFolders), also by this process. The folder must not be used afterwards.
  HRESULT Remove();
  // True when messages are memory files (memfd_create works and /proc/self/fd opens them).
  bool MemoryMessages() const { return memoryMessages_; }
  // Turns memory files off for this folder's later messages (tests, and a client that cannot
  // load them).
  void UseNamedMessages() { memoryMessages_ = false; }

 private:
  friend class MessageFile;
  MessageFolder() = default;
  std::string path_;
  bool memoryMessages_ = false;
  unsigned long envelopes_ = 0;  // numbers the saved envelopes
};

class MessageFile final : public MessageWriter {
 public:
  // Makes an empty message in `folder` (which must outlive it), open for writing.
  static HRESULT Create(MessageFolder& folder, std::unique_ptr<MessageFile>* file);
  ~MessageFile();
  MessageFile(const MessageFile&) = delete;
  MessageFile& operator=(const MessageFile&) = delete;

  // The path (UTF-8) the security client loads the message from.
  const std::string& Path() const { return path_; }
  // The path (UTF-8) the security client saves the envelope to, in the folder; Read reads it.
  const std::string& SavePath() const { return savePath_; }
  bool InMemory() const { return inMemory_; }

  // Appends bytes. Fails once the message has been closed for writing.
  HRESULT Append(std::string_view bytes) override;
  void Reserve(size_t) override {}
  // Ends the writing; the content is then complete for the security client.
  HRESULT CloseForWriting();
  // Reads the whole saved envelope as it is now. A file larger than `maxBytes` fails (E_FAIL)
  // without being read; a missing file fails with its system error.
  HRESULT Read(size_t maxBytes, std::string* content) const;

 private:
  MessageFile() = default;
  std::string path_;
  std::string savePath_;
  int fd_ = -1;  // the memory file stays open until the end: closing it discards the message
  bool inMemory_ = false;
  bool writable_ = false;
};

// Removes the message folders, with the files in them, that processes which have ended left
// behind in the temporary folder (a crash or kill while a folder existed), and those of this
// process that no MessageFolder holds any more (a removal that failed). Only folders of exactly
// the pattern above are touched, and only real folders (not links) owned by this user; a folder of
// another running process is left alone, so two processes of the user never remove each other's
// message files. Called at the start of every job. Returns the number of folders removed.
int RemoveStaleMessageFolders();

}  // namespace qx
