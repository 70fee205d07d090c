// A bare FUSE pass-through of one folder, for the mount benchmark only: the
// yardstick that tells what FUSE itself costs, so that the Quillane mount's
// own cost can be read off beside it. Every operation goes straight to the
// host folder with one system call; multi-threaded, with the same caching
// as the Quillane mount (entries and attributes one second, no kept page
// cache). Not a file system for use: no permission checks, no care for
// anything a benchmark does not do.
//
// usage: mount_bench_passthrough ROOT MOUNTPOINT [FUSE options, e.g. -f]
#define FUSE_USE_VERSION 312

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string root;

std::string HostPath(const char* path) { return root + path; }

int Errno(int result) { return result < 0 ? -errno : 0; }

void* Init(fuse_conn_info* connection, fuse_config* config) {
    config->use_ino = 1;
    config->entry_timeout = 1.0;
    config->attr_timeout = 1.0;
    config->negative_timeout = 0;
    if ((connection->capable & FUSE_CAP_ATOMIC_O_TRUNC) != 0) connection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    connection->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    return nullptr;
}

int GetAttributes(const char* path, struct stat* status, fuse_file_info* file) {
    if (file != nullptr) return Errno(::fstat(static_cast<int>(file->fh), status));
    return Errno(::lstat(HostPath(path).c_str(), status));
}

int ReadDirectory(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
    DIR* dir = ::opendir(HostPath(path).c_str());
    if (dir == nullptr) return -errno;
    while (const dirent* entry = ::readdir(dir)) {
        struct stat status {};
        status.st_ino = entry->d_ino;
        status.st_mode = static_cast<mode_t>(entry->d_type) << 12;
        if (fill(buffer, entry->d_name, &status, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
    }
    ::closedir(dir);
    return 0;
}

int Open(const char* path, fuse_file_info* file) {
    const int fd = ::open(HostPath(path).c_str(), file->flags & ~O_DIRECT);
    if (fd < 0) return -errno;
    file->fh = static_cast<uint64_t>(fd);
    return 0;
}

int Create(const char* path, mode_t mode, fuse_file_info* file) {
    const int fd = ::open(HostPath(path).c_str(), (file->flags & ~O_DIRECT) | O_CREAT, mode);
    if (fd < 0) return -errno;
    file->fh = static_cast<uint64_t>(fd);
    return 0;
}

int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* file) {
    const ssize_t n = ::pread(static_cast<int>(file->fh), buffer, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

int Write(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* file) {
    const ssize_t n = ::pwrite(static_cast<int>(file->fh), buffer, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

int Release(const char*, fuse_file_info* file) { return Errno(::close(static_cast<int>(file->fh))); }

int Sync(const char*, int data_only, fuse_file_info* file) {
    const int fd = static_cast<int>(file->fh);
    return Errno(data_only != 0 ? ::fdatasync(fd) : ::fsync(fd));
}

int Truncate(const char* path, off_t size, fuse_file_info* file) {
    if (file != nullptr) return Errno(::ftruncate(static_cast<int>(file->fh), size));
    return Errno(::truncate(HostPath(path).c_str(), size));
}

int Unlink(const char* path) { return Errno(::unlink(HostPath(path).c_str())); }
int MakeDirectory(const char* path, mode_t mode) { return Errno(::mkdir(HostPath(path).c_str(), mode)); }
int RemoveDirectory(const char* path) { return Errno(::rmdir(HostPath(path).c_str())); }
int Rename(const char* from, const char* to, unsigned int) {
    return Errno(::rename(HostPath(from).c_str(), HostPath(to).c_str()));
}
int ChangeMode(const char* path, mode_t mode, fuse_file_info*) { return Errno(::chmod(HostPath(path).c_str(), mode)); }
int SetTimes(const char* path, const timespec times[2], fuse_file_info*) {
    return Errno(::utimensat(AT_FDCWD, HostPath(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}
int FileSystemStatus(const char* path, struct statvfs* status) {
    return Errno(::statvfs(HostPath(path).c_str(), status));
}

fuse_operations Operations() {
    fuse_operations operations{};
    operations.init = Init;
    operations.getattr = GetAttributes;
    operations.readdir = ReadDirectory;
    operations.open = Open;
    operations.create = Create;
    operations.read = Read;
    operations.write = Write;
    operations.release = Release;
    operations.fsync = Sync;
    operations.truncate = Truncate;
    operations.unlink = Unlink;
    operations.mkdir = MakeDirectory;
    operations.rmdir = RemoveDirectory;
    operations.rename = Rename;
    operations.chmod = ChangeMode;
    operations.utimens = SetTimes;
    operations.statfs = FileSystemStatus;
    return operations;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ROOT MOUNTPOINT [FUSE options]\n", argv[0]);
        return 2;
    }
    root = argv[1];
    std::vector<char*> arguments{argv[0]};
    for (int i = 2; i < argc; ++i) arguments.push_back(argv[i]);
    const fuse_operations operations = Operations();
    return fuse_main(static_cast<int>(arguments.size()), arguments.data(), &operations, nullptr);
}
