#pragma once
// plat::NSLog: the platform's plain console log. Each message is formatted with
// plat::format and written to standard error as one line:
//   "2024-05-01 13:45:07.123456+0800 <process>[<pid>:<thread>] <message>"
// Tests can capture messages instead (setNSLogCaptureForTesting).
//
// Thread-safe: lines from concurrent callers never interleave. A reader of standard error
// that has gone away never ends the process: the line is dropped (see writevToStream).

#include <sys/uio.h>

#include <functional>
#include <string>
#include <string_view>

#include "platform/foundation/Format.h"

namespace plat {

// Writes every byte of the pieces to `fd`, resuming after EINTR and short writes; `v` is
// used up as it goes. Returns 0, or the errno of the failed write (EIO for a write that took
// nothing, which would otherwise be retried for ever). When `written` is given it receives
// the number of bytes written, also on failure, and `lastWrite` the bytes of the last system
// call that wrote any (on a descriptor open for appending, the bytes that end where that call
// left the offset). Any thread.
int writevFully(int fd, iovec* v, int count, size_t* written = nullptr,
                size_t* lastWrite = nullptr);

// Writes every byte of the pieces to `fd`, a stream such as standard error, resuming after
// EINTR and short writes; `v` is used up as it goes. The write never raises SIGPIPE, whatever
// the process does with that signal: when the reader has gone away it fails with EPIPE and
// the bytes are dropped. Returns 0, or the errno of the failed write (EIO for a write that
// took nothing). Any thread.
int writevToStream(int fd, iovec* v, int count);

// Writes `text` to standard error through writevToStream, with a line break added when it
// ends without one: the platform's diagnostics go out this way, so that none of them ends the
// process when the reader of standard error has gone. Any thread.
void writeToStandardError(std::string_view text);

// Writes one formatted message (the text after the prefix) to standard error, or hands it
// to the capture hook when one is set.
void NSLogMessage(const std::string& message);

template <class... Args>
void NSLog(std::string_view format, const Args&... args) {
  NSLogMessage(plat::format(format, args...));
}

// While set, every message goes to `capture` (without the prefix) instead of standard
// error. Pass an empty function to write to standard error again. The hook is called on
// the logging thread, with the log's lock held: it must not log itself.
void setNSLogCaptureForTesting(std::function<void(const std::string&)> capture);

}  // namespace plat
