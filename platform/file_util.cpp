#include "platform/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace bus {

namespace {

// mkdir -p of every parent directory of `path`.
Status makeParents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string dir = path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return Status::sysError("mkdir");
  }
  return Status::ok();
}

Status writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::sysError("write");
    }
    done += static_cast<size_t>(n);
  }
  return Status::ok();
}

// The rename is only durable once the directory entry itself is on disk.
Status syncDirectory(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Status::sysError("open");
  const bool synced = ::fsync(fd) == 0;
  Status status = synced ? Status::ok() : Status::sysError("fsync");
  ::close(fd);
  return status;
}

Status writeTemp(const std::string& tmp, const std::string& data) {
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Status::sysError("open");
  Status status = writeAll(fd, data);
  if (status.isOk() && ::fsync(fd) != 0) status = Status::sysError("fsync");
  if (::close(fd) != 0 && status.isOk()) status = Status::sysError("close");
  return status;
}

}  // namespace

Status writeFileAtomic(const std::string& path, const std::string& data) {
  Status status = makeParents(path);
  if (!status.isOk()) return status;
  // The pid in the name keeps two processes sharing a root off each other's
  // temporary file.
  const std::string tmp = path + ".tmp." + std::to_string(::getpid());
  status = writeTemp(tmp, data);
  if (status.isOk() && ::rename(tmp.c_str(), path.c_str()) != 0) status = Status::sysError("rename");
  if (!status.isOk()) {
    ::unlink(tmp.c_str());
    return status;
  }
  return syncDirectory(path);
}

std::optional<std::string> readFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string data;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return data;
}

}  // namespace bus
