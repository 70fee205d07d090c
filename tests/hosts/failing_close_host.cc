// A host folder whose close really fails, for tests: a pass-through FUSE file
// system over a backing folder whose flush (what close(2) answers) and fsync
// do their work and then answer EIO, as a network- or FUSE-backed folder does
// when its data could not be written back. Used as a card folder, it shows
// what every layer above makes of a close that fails after the descriptor is
// gone.
//
//   failing-close-host [--fail GLOB] BACKING MOUNTPOINT
//
// runs in the foreground until unmounted; GLOB (default "*") picks by final
// name the files whose closes fail. Test infrastructure, never installed.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
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

int backing_fd = -1;
std::string fail_glob = "*";

// The backing folder's relative name for a FUSE path ("/a/b" -> "a/b").
std::string Relative(const char* path) {
    while (*path == '/') ++path;
    return *path == 0 ? std::string(".") : std::string(path);
}

bool FailsClose(const char* path) {
    const char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    return fnmatch(fail_glob.c_str(), name, FNM_CASEFOLD) == 0;
}

int Result(int value) { return value < 0 ? -errno : value; }

int GetAttr(const char* path, struct stat* status, fuse_file_info* info) {
    if (info != nullptr) return Result(fstat(static_cast<int>(info->fh), status));
    return Result(fstatat(backing_fd, Relative(path).c_str(), status, AT_SYMLINK_NOFOLLOW));
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
    const int fd = openat(backing_fd, Relative(path).c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return -errno;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        close(fd);
        return -error;
    }
    while (const dirent* entry = readdir(dir)) fill(buffer, entry->d_name, nullptr, 0, fuse_fill_dir_flags{});
    closedir(dir);
    return 0;
}

int Open(const char* path, fuse_file_info* info) {
    const int fd = openat(backing_fd, Relative(path).c_str(), info->flags & ~O_NOFOLLOW);
    if (fd < 0) return -errno;
    info->fh = static_cast<uint64_t>(fd);
    return 0;
}

int Create(const char* path, mode_t mode, fuse_file_info* info) {
    const int fd = openat(backing_fd, Relative(path).c_str(), info->flags | O_CREAT, mode);
    if (fd < 0) return -errno;
    info->fh = static_cast<uint64_t>(fd);
    return 0;
}

int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* info) {
    return Result(static_cast<int>(pread(static_cast<int>(info->fh), buffer, size, offset)));
}

int Write(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* info) {
    return Result(static_cast<int>(pwrite(static_cast<int>(info->fh), buffer, size, offset)));
}

// close(2) answers what the flush answers; the descriptor is gone either way.
int Flush(const char* path, fuse_file_info*) { return FailsClose(path) ? -EIO : 0; }

int Release(const char*, fuse_file_info* info) {
    close(static_cast<int>(info->fh));
    return 0;
}

int Fsync(const char* path, int, fuse_file_info* info) {
    if (fsync(static_cast<int>(info->fh)) != 0) return -errno;
    return FailsClose(path) ? -EIO : 0;
}

int Truncate(const char* path, off_t size, fuse_file_info* info) {
    if (info != nullptr) return Result(ftruncate(static_cast<int>(info->fh), size));
    const int fd = openat(backing_fd, Relative(path).c_str(), O_WRONLY);
    if (fd < 0) return -errno;
    const int result = Result(ftruncate(fd, size));
    close(fd);
    return result;
}

int Unlink(const char* path) { return Result(unlinkat(backing_fd, Relative(path).c_str(), 0)); }
int Rmdir(const char* path) { return Result(unlinkat(backing_fd, Relative(path).c_str(), AT_REMOVEDIR)); }
int Mkdir(const char* path, mode_t mode) { return Result(mkdirat(backing_fd, Relative(path).c_str(), mode)); }

int Rename(const char* from, const char* to, unsigned int flags) {
    return Result(renameat2(backing_fd, Relative(from).c_str(), backing_fd, Relative(to).c_str(), flags));
}

int Chmod(const char* path, mode_t mode, fuse_file_info* info) {
    if (info != nullptr) return Result(fchmod(static_cast<int>(info->fh), mode));
    return Result(fchmodat(backing_fd, Relative(path).c_str(), mode, 0));
}

int Utimens(const char* path, const timespec times[2], fuse_file_info* info) {
    if (info != nullptr) return Result(futimens(static_cast<int>(info->fh), times));
    return Result(utimensat(backing_fd, Relative(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}

int StatFs(const char*, struct statvfs* status) { return Result(fstatvfs(backing_fd, status)); }

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> arguments(argv, argv + argc);
    if (arguments.size() >= 3 && std::strcmp(arguments[1], "--fail") == 0) {
        fail_glob = arguments[2];
        arguments.erase(arguments.begin() + 1, arguments.begin() + 3);
    }
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: failing-close-host [--fail GLOB] BACKING MOUNTPOINT\n");
        return 2;
    }
    backing_fd = open(arguments[1], O_RDONLY | O_DIRECTORY);
    if (backing_fd < 0) {
        std::perror(arguments[1]);
        return 1;
    }
    fuse_operations operations{};
    operations.getattr = GetAttr;
    operations.readdir = ReadDir;
    operations.open = Open;
    operations.create = Create;
    operations.read = Read;
    operations.write = Write;
    operations.flush = Flush;
    operations.release = Release;
    operations.fsync = Fsync;
    operations.truncate = Truncate;
    operations.unlink = Unlink;
    operations.rmdir = Rmdir;
    operations.mkdir = Mkdir;
    operations.rename = Rename;
    operations.chmod = Chmod;
    operations.utimens = Utimens;
    operations.statfs = StatFs;
    // Foreground, one thread: the test that started it ends it by unmounting.
    char program[] = "failing-close-host";
    char foreground[] = "-f";
    char single[] = "-s";
    char* fuse_arguments[] = {program, foreground, single, arguments[2], nullptr};
    return fuse_main(4, fuse_arguments, &operations, nullptr);
}
