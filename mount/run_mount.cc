// The mount command (see run_mount.h): reads the command line, puts the
// card in the storage manager, sets up the FUSE session, detaches, serves,
// and at the end closes every file through the filter before the card goes.
#include "mount/run_mount.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mount/card_file_system.h"
#include "mount/fuse_operations.h"
#include "mount/host_files.h"
#include "mount/mount_options.h"
#include "mount/mount_point_check.h"
#include "platform/core/utf.h"
#include "platform/core/version.h"
#include "platform/registry/registry.h"
#include "platform/storage/storage_config.h"
#include "platform/storage/storage_manager.h"

namespace quillane::mount {
namespace {

// The folder the card is mounted as in the storage manager; programs of the
// mount see only its contents.
constexpr char16_t kCardFolder[] = u"Card";
constexpr WCHAR kFilterKey[] = u"System\\StorageManager\\FATFS\\Filters\\Quillane";

enum : int { kExitSuccess = 0, kExitFailure = 1, kExitUsage = 2 };

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
                 "usage: quillane mount [-f] [-o OPTIONS] CARD_DIR MOUNTPOINT\n\n"
                 "Serves the card folder CARD_DIR at MOUNTPOINT: files written there are stored\n"
                 "compressed on the card and read back plain. Runs in the background unless -f\n"
                 "is given; 'fusermount3 -u MOUNTPOINT' (or SIGINT, SIGTERM) ends it once every\n"
                 "open file has been put in place on the card. Reading never writes to the\n"
                 "card; a card that cannot be written (locked, mounted read-only, no write\n"
                 "permission, or -o ro) is served read-only. CARD_DIR may also be the name\n"
                 "of a card that 'quillane cards add' registered. -V tells the version.\n\n"
                 "Owner options, as on a vfat mount: -o uid=N,gid=N (who owns every file; the\n"
                 "mounting user by default), -o umask=OOO, fmask=OOO, dmask=OOO (the mode bits\n"
                 "taken from all, from files, from folders; 022 by default). The kernel checks\n"
                 "every access against the modes shown.\n\n");
}

// Takes the first word that is not an option as the card folder and leaves
// the rest (the mount point among them) to FUSE's own parser.
struct Operands {
    std::string card_dir;
    std::string mount_point;  // seen, and left for FUSE
    bool read_only = false;  // -o ro was given
};

enum : int { kReadOnlyKey = 1 };
const fuse_opt kOptions[] = {FUSE_OPT_KEY("ro", kReadOnlyKey), FUSE_OPT_END};

int TakeCardDir(void* data, const char* argument, int key, fuse_args* /*out*/) {
    auto* operands = static_cast<Operands*>(data);
    if (key == kReadOnlyKey) operands->read_only = true;  // and kept, for the kernel
    if (key == FUSE_OPT_KEY_NONOPT && operands->card_dir.empty()) {
        operands->card_dir = argument;
        return 0;  // consumed
    }
    if (key == FUSE_OPT_KEY_NONOPT && operands->mount_point.empty()) operands->mount_point = argument;
    return 1;  // kept
}

// Why the card cannot be written to, or empty when it can: a locked SD
// card, a file system mounted read-only or a folder without write
// permission all serve the card read-only.
std::string WhyReadOnly(const std::string& card_dir, bool read_only_option) {
    if (read_only_option) return "it was mounted with -o ro";
    struct statvfs status {};
    if (::statvfs(card_dir.c_str(), &status) == 0 && (status.f_flag & ST_RDONLY) != 0) {
        return "its file system is read-only (a locked card, or mounted read-only)";
    }
    if (::faccessat(AT_FDCWD, card_dir.c_str(), W_OK, AT_EACCESS) != 0) {
        if (errno == EROFS) return "its file system is read-only (a locked card, or mounted read-only)";
        if (errno == EACCES || errno == EPERM) return "this user may not write in it";
    }
    return {};
}

// A value inside -o must have its commas and backslashes escaped.
std::string OptionValue(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == ',' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// The card must never be mounted without its filter: the filter's key with
// its library is made when it is missing.
bool EnsureFilterRegistered() {
    if (std::string why; !platform::RegistryStoreIsCallers(why)) {
        std::fprintf(stderr, "quillane mount: %s\n", why.c_str());
        return false;
    }
    HKEY key = nullptr;
    LSTATUS status = platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFilterKey, 0, 0, &key);
    if (status == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD size = 0;
        status = platform::RegQueryValueExW(key, u"Dll", nullptr, &type, nullptr, &size);
        platform::RegCloseKey(key);
    }
    if (status == ERROR_FILE_NOT_FOUND) status = static_cast<LSTATUS>(platform::InstallFilter());
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "quillane mount: cannot register the filter in the registry at %s (error %d)\n",
                     platform::RegistryStorePath().c_str(), static_cast<int>(status));
        return false;
    }
    return true;
}

// A CARD that is no path but the name of a card the registry names
// (quillane cards add) stands for that card's folder.
void ResolveCardName(std::string& card) {
    struct stat status {};
    if (card.find('/') != std::string::npos || ::stat(card.c_str(), &status) == 0) return;
    std::vector<platform::storage::CardEntry> cards;
    bool discover = true;
    std::vector<std::string> messages;
    if (platform::storage::ReadCardEntries(&cards, &discover, &messages) != ERROR_SUCCESS) return;
    for (const platform::storage::CardEntry& entry : cards) {
        if (platform::Utf8FromUtf16Lossy(entry.folder_name) == card) card = entry.host_path;
    }
}

// The argument list that libfuse's parsers rewrite, freed with it.
struct FuseArguments {
    explicit FuseArguments(std::vector<char*>& argv) : args(FUSE_ARGS_INIT(static_cast<int>(argv.size()) - 1, argv.data())) {}
    ~FuseArguments() { fuse_opt_free_args(&args); }
    FuseArguments(const FuseArguments&) = delete;
    FuseArguments& operator=(const FuseArguments&) = delete;
    fuse_args args;
};
struct SessionDeleter {
    void operator()(fuse_session* session) const { fuse_session_destroy(session); }
};
struct LoopConfigDeleter {
    void operator()(fuse_loop_config* config) const { fuse_loop_cfg_destroy(config); }
};

// The storage manager's card, unmounted (every handle closed through the
// filter) when the scope ends.
struct MountedCard {
    ~MountedCard() { platform::StorageManager::Instance().UnmountAll(); }
};

}  // namespace

int RunMount(std::span<const std::string_view> arguments) {
    std::vector<std::string> words{"quillane mount"};
    for (const std::string_view word : arguments) words.emplace_back(word);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    FuseArguments fuse_arguments(argv);
    fuse_args* const args = &fuse_arguments.args;
    Operands operands;
    if (fuse_opt_parse(args, &operands, kOptions, TakeCardDir) != 0) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    // A mount point that is not there is a failure, not a wrong command
    // line; FUSE's parser would answer it with its whole usage.
    if (struct stat point {}; !operands.mount_point.empty() && ::stat(operands.mount_point.c_str(), &point) != 0) {
        std::fprintf(stderr, "quillane mount: %s: %s\n", operands.mount_point.c_str(), std::strerror(errno));
        return kExitFailure;
    }
    OwnerOptions owner = DefaultOwnerOptions(::getuid(), ::getgid());
    if (!TakeOwnerOptions(*args, owner)) return kExitUsage;
    fuse_cmdline_opts options{};
    if (fuse_parse_cmdline(args, &options) != 0) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    const std::unique_ptr<char, decltype(&std::free)> mountpoint(options.mountpoint, &std::free);
    if (options.show_help) {
        PrintUsage(stdout);
        std::printf("FUSE options:\n");
        fuse_cmdline_help();
        fuse_lowlevel_help();
        return kExitSuccess;
    }
    if (options.show_version) {
        std::printf("quillane %s\nFUSE library version %s\n", platform::kQuillaneVersion, fuse_pkgversion());
        return kExitSuccess;
    }
    if (operands.card_dir.empty() || mountpoint == nullptr) {
        std::fprintf(stderr, "quillane mount: needs a card folder and a mount point\n\n");
        PrintUsage(stderr);
        return kExitUsage;
    }

    ResolveCardName(operands.card_dir);
    // Absolute, since the daemon leaves the working directory behind.
    char resolved[PATH_MAX];
    if (::realpath(operands.card_dir.c_str(), resolved) == nullptr) {
        std::perror(("quillane mount: " + operands.card_dir).c_str());
        return kExitFailure;
    }
    const std::string card_dir = resolved;
    platform::fat::UniqueFd host_root(::open(card_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!host_root.Valid()) {
        std::perror(("quillane mount: " + card_dir).c_str());
        return kExitFailure;
    }

    CardFileSystem file_system(kCardFolder, std::move(host_root), owner);
    if (const std::string why_read_only = WhyReadOnly(card_dir, operands.read_only); !why_read_only.empty()) {
        std::fprintf(stderr, "quillane mount: serving %s read-only: %s\n", card_dir.c_str(), why_read_only.c_str());
        file_system.ServeReadOnly();
        // The kernel refuses every change at once, before it reaches the card.
        if (!operands.read_only) fuse_opt_add_arg(args, "-oro");
    }
    MountSession mount_session(file_system);
    fuse_opt_add_arg(args, ("-ofsname=" + OptionValue(card_dir)).c_str());
    fuse_opt_add_arg(args, "-osubtype=quillane");
    // The modes shown are the whole of who may do what: the kernel enforces
    // them, for every user that allow_other lets in.
    fuse_opt_add_arg(args, "-odefault_permissions");
    const fuse_lowlevel_ops operations = MountOperations();
    // The session first: libfuse refuses options it does not know (and has
    // said which), and then the card must not have been touched.
    std::unique_ptr<fuse_session, SessionDeleter> session(
        fuse_session_new(args, &operations, sizeof operations, &mount_session));
    if (session == nullptr) return kExitUsage;
    if (const std::string problem = CheckMountPoint(mountpoint.get(), card_dir); !problem.empty()) {
        std::fprintf(stderr, "quillane mount: %s\n", problem.c_str());
        return kExitFailure;
    }

    if (!EnsureFilterRegistered()) return kExitFailure;
    std::string why;
    if (const DWORD error = platform::StorageManager::Instance().MountCard(kCardFolder, card_dir, &why);
        error != ERROR_SUCCESS) {
        std::fprintf(stderr, "quillane mount: cannot mount %s as a card: %s\n", card_dir.c_str(),
                     why.empty() ? "the storage manager refused it" : why.c_str());
        return kExitFailure;
    }
    // Unmounted (every handle closed through the filter) before the file
    // system and the session go.
    const MountedCard card;
    file_system.RemoveLeftovers();
    fuse_session* const raw_session = session.get();
    file_system.SetAttributesChanged(
        [raw_session](NodeNumber number) { fuse_lowlevel_notify_inval_inode(raw_session, number, -1, 0); });

    if (fuse_set_signal_handlers(raw_session) != 0) return kExitFailure;
    if (fuse_session_mount(raw_session, mountpoint.get()) != 0) {
        fuse_remove_signal_handlers(raw_session);
        return kExitFailure;
    }
    // Everything that can fail with a message has been tried: detach now.
    fuse_daemonize(options.foreground);

    int result;
    if (options.singlethread) {
        result = fuse_session_loop(raw_session);
    } else {
        std::unique_ptr<fuse_loop_config, LoopConfigDeleter> config(fuse_loop_cfg_create());
        fuse_loop_cfg_set_clone_fd(config.get(), static_cast<unsigned int>(options.clone_fd));
        if (options.max_idle_threads != UINT_MAX) fuse_loop_cfg_set_idle_threads(config.get(), options.max_idle_threads);
        fuse_loop_cfg_set_max_threads(config.get(), options.max_threads);
        result = fuse_session_loop_mt(raw_session, config.get());
    }
    fuse_session_unmount(raw_session);
    fuse_remove_signal_handlers(raw_session);
    // The kernel is gone; what is still open is closed through the filter
    // here, before the card is unmounted.
    file_system.CloseAll();
    // A signal that ended the loop (its number) is the ordinary way to stop.
    return result >= 0 ? kExitSuccess : kExitFailure;
}

}  // namespace quillane::mount
