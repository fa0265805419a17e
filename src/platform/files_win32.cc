#include <windows.h>

#include <cwctype>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"

namespace platform {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD attributesOf(const std::string& path) {
  return ::GetFileAttributesW(gbkToWide(path).c_str());
}

// Opens with full sharing so that the writer of the file can go on writing,
// renaming or deleting it while the agent holds it.
HANDLE openShared(const std::string& path, DWORD access, DWORD disposition) {
  return ::CreateFileW(gbkToWide(path).c_str(), access, kShareAll, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

SysStatus writeAll(HANDLE file, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr)) {
      return SysStatus::lastError("WriteFile");
    }
    done += written;
  }
  return SysStatus::ok();
}

// Opens a file for reading, refusing anything but a file on disk (a pipe or
// a device could block the reader or never end).
HANDLE openForReading(const std::string& path, SysStatus* status) {
  HANDLE file = openShared(path, GENERIC_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) {
    *status = SysStatus::lastError("CreateFileW");
    return file;
  }
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    *status = SysStatus::error("GetFileType", ERROR_BAD_FILE_TYPE);
    ::CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

}  // namespace

char pathSeparator() { return '\\'; }

bool fileExists(const std::string& path) {
  DWORD attributes = attributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

SysStatus fileSize(const std::string& path, int64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(gbkToWide(path).c_str(), GetFileExInfoStandard, &data)) {
    return SysStatus::lastError("GetFileAttributesExW");
  }
  if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
    return SysStatus::error("GetFileAttributesExW", ERROR_INVALID_PARAMETER);
  }
  *size = static_cast<int64_t>((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
  return SysStatus::ok();
}

bool directoryExists(const std::string& path) {
  DWORD attributes = attributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

SysStatus createDirectory(const std::string& path) {
  if (::CreateDirectoryW(gbkToWide(path).c_str(), nullptr)) return SysStatus::ok();
  if (::GetLastError() == ERROR_ALREADY_EXISTS && directoryExists(path)) return SysStatus::ok();
  return SysStatus::lastError("CreateDirectoryW");
}

std::string currentDirectory() {
  DWORD n = ::GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return std::string();
  std::wstring buffer(n, L'\0');
  n = ::GetCurrentDirectoryW(n, buffer.data());
  buffer.resize(n);
  return wideToGbk(buffer);
}

std::string executablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::string();
    if (n < buffer.size()) {
      buffer.resize(n);
      return wideToGbk(buffer);
    }
    if (buffer.size() > 32768) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

SysStatus readFile(const std::string& path, std::string* out, size_t maxBytes) {
  out->clear();
  SysStatus status = SysStatus::ok();
  HANDLE file = openForReading(path, &status);
  if (file == INVALID_HANDLE_VALUE) return status;
  char buffer[65536];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
      status = SysStatus::lastError("ReadFile");
      break;
    }
    if (n == 0) break;
    if (n > maxBytes - out->size()) {
      status = SysStatus::error("ReadFile", ERROR_FILE_TOO_LARGE);
      break;
    }
    out->append(buffer, n);
  }
  ::CloseHandle(file);
  if (!status) out->clear();
  return status;
}

SysStatus appendToFile(const std::string& path, const std::string& bytes) {
  HANDLE file = openShared(path, FILE_APPEND_DATA, OPEN_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return SysStatus::lastError("CreateFileW");
  SysStatus status = writeAll(file, bytes);
  ::CloseHandle(file);
  return status;
}

SysStatus writeFile(const std::string& path, const std::string& bytes) {
  HANDLE file = openShared(path, GENERIC_WRITE, CREATE_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return SysStatus::lastError("CreateFileW");
  SysStatus status = writeAll(file, bytes);
  ::CloseHandle(file);
  return status;
}

SysStatus removeFile(const std::string& path) {
  if (::DeleteFileW(gbkToWide(path).c_str())) return SysStatus::ok();
  return SysStatus::lastError("DeleteFileW");
}

SysStatus replaceFile(const std::string& path, const std::string& bytes) {
  const std::wstring target = gbkToWide(path);
  const std::wstring next = target + L".new";
  // What stands under the new file's name (a leftover of a write that was
  // cut short, or a link someone put there: DeleteFileW removes the link,
  // not what it leads to) goes first; CREATE_NEW then makes the file anew
  // and fails on anything that appeared meanwhile.
  if (!::DeleteFileW(next.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
    return SysStatus::lastError("DeleteFileW");
  }
  HANDLE file = ::CreateFileW(next.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return SysStatus::lastError("CreateFileW");
  SysStatus status = writeAll(file, bytes);
  // On the disk before the rename, so that the name never leads to a file
  // whose content a power cut lost.
  if (status && !::FlushFileBuffers(file)) status = SysStatus::lastError("FlushFileBuffers");
  ::CloseHandle(file);
  if (status && !::MoveFileExW(next.c_str(), target.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    status = SysStatus::lastError("MoveFileExW");
  }
  if (!status) ::DeleteFileW(next.c_str());
  return status;
}

namespace {

bool identityOf(HANDLE handle, FileState* out) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info)) return false;
  out->volume = info.dwVolumeSerialNumber;
  out->index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return true;
}

// Where the system says an open file or folder is, without a trailing "\";
// empty when it cannot tell.
std::wstring finalPathOf(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFinalPathNameByHandleW(handle, path.data(),
                                                static_cast<DWORD>(path.size()), 0);
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(n + 1);
  }
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

bool sameText(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

bool isReparsePoint(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

NotedDirectory NotedDirectory::note(const std::string& path) {
  NotedDirectory dir;
  dir.path_ = directoryPath(path);
  const std::wstring wide = gbkToWide(dir.path_);
  if (!isReparsePoint(wide)) return dir;
  HANDLE handle = ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return dir;
  dir.wasLink_ = identityOf(handle, &dir.target_);
  ::CloseHandle(handle);
  return dir;
}

SysStatus appendInDirectory(const NotedDirectory& dir, const std::string& name,
                            const std::string& bytes) {
  const SysStatus refused = SysStatus::error(kLinkRefusedCall, ERROR_CANT_ACCESS_FILE);
  const std::wstring folderPath = gbkToWide(dir.path());
  // Held without delete sharing while the file is made: the folder can
  // then be neither renamed nor removed, nor replaced by a junction, until
  // the line is written.
  HANDLE folder = ::CreateFileW(folderPath.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return SysStatus::lastError("CreateFileW");
  FileState target;
  if (isReparsePoint(folderPath) &&
      (!dir.wasLink_ || !identityOf(folder, &target) || !target.sameFile(dir.target_))) {
    ::CloseHandle(folder);
    return refused;
  }
  const std::wstring filePath = folderPath + (folderPath.back() == L'\\' ? L"" : L"\\") +
                                gbkToWide(name);
  // A link at the file is refused by its name, and once more by the handle
  // (opened as the link itself, never followed); the file opened must be in
  // the folder opened.
  HANDLE file = INVALID_HANDLE_VALUE;
  if (!isReparsePoint(filePath)) {
    file = ::CreateFileW(filePath.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, kShareAll,
                         nullptr, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const SysStatus failed = SysStatus::lastError("CreateFileW");
      ::CloseHandle(folder);
      return failed;
    }
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = file != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(file, &info) &&
            !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
  if (ok) {
    const std::wstring inFolder = finalPathOf(folder);
    const std::wstring opened = finalPathOf(file);
    const size_t cut = opened.rfind(L'\\');
    // Where the system cannot name either, the checks above stand alone.
    ok = inFolder.empty() || cut == std::wstring::npos || sameText(opened.substr(0, cut), inFolder);
  }
  SysStatus status = ok ? writeAll(file, bytes) : refused;
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  ::CloseHandle(folder);
  return status;
}

struct LineReader::Impl {
  HANDLE file = INVALID_HANDLE_VALUE;
  ~Impl() { ::CloseHandle(file); }
};

// Defined where Impl is complete; the Impl closes the file.
LineReader::LineReader() = default;
LineReader::~LineReader() = default;
LineReader::LineReader(LineReader&&) noexcept = default;
LineReader& LineReader::operator=(LineReader&&) noexcept = default;

SysStatus LineReader::openFile(const std::string& path) {
  SysStatus status = SysStatus::ok();
  HANDLE file = openForReading(path, &status);
  if (file == INVALID_HANDLE_VALUE) return status;
  impl_ = std::make_unique<Impl>();
  impl_->file = file;
  return status;
}

bool LineReader::isOpen() const { return impl_ && impl_->file != INVALID_HANDLE_VALUE; }

SysStatus LineReader::seekFile(int64_t offset) {
  if (!isOpen()) return SysStatus::error("SetFilePointerEx", ERROR_INVALID_HANDLE);
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  if (!::SetFilePointerEx(impl_->file, distance, nullptr, FILE_BEGIN)) {
    return SysStatus::lastError("SetFilePointerEx");
  }
  return SysStatus::ok();
}

size_t LineReader::readSome(char* buffer, size_t size) {
  DWORD n = 0;
  if (!::ReadFile(impl_->file, buffer, static_cast<DWORD>(size), &n, nullptr)) return 0;
  return n;
}

SysStatus LineReader::state(FileState* out) const {
  if (!isOpen()) return SysStatus::error("GetFileInformationByHandle", ERROR_INVALID_HANDLE);
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(impl_->file, &info)) {
    return SysStatus::lastError("GetFileInformationByHandle");
  }
  out->volume = info.dwVolumeSerialNumber;
  out->index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  out->size = static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
  return SysStatus::ok();
}

void LineReader::close() { impl_.reset(); }

}  // namespace platform
