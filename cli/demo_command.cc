// `quillane demo`: Quillane at work on a sample card in a temporary folder,
// for a newcomer to run at once. Mounts the card in the background when FUSE
// is there (and says why not when it is not, showing the same through the
// storage manager), shows side by side what programs see and what the card
// holds, converts the card, shows the doubled capacity, unmounts, and says
// where the card folder is. Its registry store lies in the temporary folder
// unless QUILLANE_REGISTRY is set, so it never changes the user's settings.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/card_session.h"
#include "cli/child_process.h"
#include "cli/command.h"
#include "cli/demo_card.h"
#include "cli/demo_mount.h"
#include "cli/demo_table.h"
#include "cli/messages.h"
#include "platform/core/last_error.h"
#include "platform/registry/registry.h"
#include "platform/storage/file_api.h"

namespace quillane::cli {
namespace {

// The new file the demo writes through the mount (or the storage manager).
const char kLetterPath[] = "Documents/letter.txt";

std::string LetterText() {
    std::string text;
    for (int line = 1; text.size() < 60000; ++line) {
        text += "Line " + std::to_string(line) + ": written through the mount, stored compressed at its close.\n";
    }
    return text;
}

void Heading(const std::string& text) { std::printf("\n== %s ==\n\n", text.c_str()); }

class Demo {
public:
    Demo(const Command& self, std::string place) : self_(self), place_(std::move(place)) {}

    int Run();

private:
    // Shows a command as the user would type it in the demo folder, runs
    // it there and gives its exit status.
    int Show(const std::vector<std::string>& shown, std::vector<std::string> run) {
        std::string line = "$";
        for (const std::string& word : shown) line += " " + Quoted(word);
        std::printf("%s\n", line.c_str());
        std::string error;
        const int status = RunChild(run, ChildOptions{place_, ""}, &error);
        if (status < 0) PrintError(self_, error);
        std::printf("\n");
        return status;
    }
    int ShowOwn(const std::vector<std::string>& arguments) {
        std::vector<std::string> shown{"quillane"};
        shown.insert(shown.end(), arguments.begin(), arguments.end());
        std::vector<std::string> run{OwnProgramPath()};
        run.insert(run.end(), arguments.begin(), arguments.end());
        return Show(shown, run);
    }
    int ShowTool(const std::vector<std::string>& arguments) { return Show(arguments, arguments); }

    bool Mount(const char* when);
    void Unmount();
    bool WriteLetterThroughTheMount();
    bool WriteLetterThroughTheStorageManager(const CardSession& session);
    void ShowCapacity(const PlainView& view, const char* when);

    const Command& self_;
    std::string place_;
    std::string card_;
    std::string view_;
    std::vector<SampleFile> files_;
    std::unique_ptr<DemoMount> mount_;
    std::string no_mount_reason_;
    std::optional<std::uint64_t> capacity_before_;
};

bool Demo::Mount(const char* when) {
    if (!no_mount_reason_.empty()) return false;
    std::printf("$ quillane mount card view    (%s)\n", when);
    std::fflush(stdout);
    std::string why;
    mount_ = DemoMount::Start(card_, view_, place_ + "/mount.log", &why);
    if (mount_ == nullptr) {
        no_mount_reason_ = why;
        return false;
    }
    std::printf("Mounted: view/ now serves card/ through the filter.\n\n");
    return true;
}

void Demo::Unmount() {
    if (mount_ == nullptr) return;
    std::printf("$ fusermount3 -u view\n");
    std::string why;
    if (!mount_->Stop(&why)) std::printf("%s\n", why.c_str());
    mount_.reset();
    std::printf("Unmounted.\n");
}

bool Demo::WriteLetterThroughTheMount() {
    std::printf("A program writes a new file through the mount (%s, %zu bytes):\n\n",
                (std::string("view/") + kLetterPath).c_str(), LetterText().size());
    std::ofstream out(view_ + "/" + kLetterPath, std::ios::binary);
    out << LetterText();
    out.close();
    if (!out) {
        PrintError(self_, "cannot write view/" + std::string(kLetterPath) + " through the mount");
        return false;
    }
    return true;
}

bool Demo::WriteLetterThroughTheStorageManager(const CardSession& session) {
    std::printf("A program writes a new file on the card through the storage manager\n"
                "(\\Storage Card\\Documents\\letter.txt, %zu bytes):\n\n",
                LetterText().size());
    const std::u16string path = session.Root() + u"\\Documents\\letter.txt";
    const HANDLE file = platform::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        PrintError(self_, "cannot create the file: " + PlatformErrorText(platform::GetLastError()));
        return false;
    }
    const std::string text = LetterText();
    DWORD written = 0;
    const BOOL wrote =
        platform::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    // The close is where the filter compresses the file.
    const BOOL closed = platform::CloseHandle(file);
    if (!wrote || written != text.size() || !closed) {
        PrintError(self_, "cannot write the file: " + PlatformErrorText(platform::GetLastError()));
        return false;
    }
    return true;
}

void Demo::ShowCapacity(const PlainView& view, const char* when) {
    const std::optional<std::uint64_t> capacity = SeenCapacity(view);
    if (!capacity) return;
    std::printf("Capacity programs see %s: %s\n", when, ByteCount(*capacity).c_str());
    if (!capacity_before_) {
        capacity_before_ = capacity;
    } else if (*capacity_before_ > 0) {
        std::printf("That is %.1f times the capacity before the conversion: the marker file quillane.x13 makes\n"
                    "the filter report the card twice as big, as compressed files leave room for about twice\n"
                    "as much.\n",
                    static_cast<double>(*capacity) / static_cast<double>(*capacity_before_));
    }
}

int Demo::Run() {
    card_ = place_ + "/card";
    view_ = place_ + "/view";
    std::filesystem::create_directories(card_);
    std::filesystem::create_directories(view_);

    Heading("Quillane demo");
    std::printf("Working in %s:\n"
                "  card/      the card folder: what the card holds\n"
                "  view/      the mount point: what programs see\n",
                place_.c_str());
    std::printf("Registry store: %s\n", platform::RegistryStorePath().c_str());

    Heading("1. A sample card");
    std::string error;
    files_ = WriteSampleCard(card_, &error);
    if (files_.empty()) return Fail(self_, error);
    std::printf("Wrote %zu files straight into card/, as a card filled before Quillane: all plain.\n\n", files_.size());
    ShowTool({"ls", "-lR", "card"});

    Heading("2. The filter and the exempt file types");
    if (ShowOwn({"install"}) != 0) return Fail(self_, "the filter could not be installed");
    std::printf("Photos and songs are compressed already; the filter leaves exempt types alone:\n");
    if (ShowOwn({"exceptions", "add", "mp3", "jpg"}) != 0) {
        std::printf("(mp3 and jpg stay as your exempt list has them)\n\n");
    }
    ShowOwn({"exceptions", "list"});

    no_mount_reason_ = DemoMount::UnavailableReason();
    const std::string letter_in_card = "card/" + std::string(kLetterPath);
    Heading("3. What programs see and what the card holds");
    if (Mount("in the background")) {
        if (!WriteLetterThroughTheMount()) return kExitFailure;
        files_.push_back(SampleFile{kLetterPath, "text, new"});
        PlainView view{view_, nullptr};
        PrintSizeTable(files_, card_, view);
        std::printf("\nOnly the new file is compressed: the others were written before the filter.\n\n");
        ShowTool({"ls", "-l", "view/Documents"});
        ShowTool({"ls", "-l", "card/Documents"});
        std::printf("ls -l shows through the mount the size programs read (the plain size), in the card\n"
                    "folder the size stored. du counts the space files take on the card, so it shows\n"
                    "the stored size on both sides:\n\n");
        ShowTool({"du", "-sh", "view", "card"});
        ShowTool({"df", "-h", "view", "card"});
        ShowCapacity(view, "before the conversion");
        std::printf("\n");
        ShowOwn({"info", letter_in_card});
        std::printf("A convert works on the card folder, not while a mount serves it:\n");
        Unmount();
    } else {
        std::printf("No mount here: %s\nThe demo goes on without one, through the storage manager and the filter, "
                    "as the mount would.\n\n",
                    no_mount_reason_.c_str());
        bool installed = false;
        const std::unique_ptr<CardSession> session = CardSession::Open(card_, &error, &installed);
        if (session == nullptr) return Fail(self_, error);
        if (!WriteLetterThroughTheStorageManager(*session)) return kExitFailure;
        files_.push_back(SampleFile{kLetterPath, "text, new"});
        PlainView view{"", session.get()};
        PrintSizeTable(files_, card_, view);
        std::printf("\nOnly the new file is compressed: the others were written before the filter.\n\n");
        ShowCapacity(view, "before the conversion");
        std::printf("\n");
        ShowTool({"ls", "-l", "card/Documents"});
        ShowOwn({"info", letter_in_card});
        std::printf("The same codec works on ordinary files:\n");
        ShowOwn({"pack", "card/Documents/report.txt", "report.packed"});
        ShowOwn({"info", "report.packed"});
    }

    Heading("4. Converting the card");
    const int converted = ShowOwn({"convert", "card"});
    if (converted != 0) PrintError(self_, "the conversion did not convert every file (see its summary)");

    Heading("5. After the conversion");
    if (Mount("again")) {
        PlainView view{view_, nullptr};
        PrintSizeTable(files_, card_, view);
        std::printf("\nPrograms still see every file at its plain size; the card holds far less.\n\n");
        ShowTool({"du", "-sh", "view", "card"});
        ShowTool({"df", "-h", "view", "card"});
        ShowCapacity(view, "after the conversion");
        std::printf("\n");
        Unmount();
    } else {
        bool installed = false;
        const std::unique_ptr<CardSession> session = CardSession::Open(card_, &error, &installed);
        if (session == nullptr) return Fail(self_, error);
        PlainView view{"", session.get()};
        PrintSizeTable(files_, card_, view);
        std::printf("\nPrograms still see every file at its plain size; the card holds far less.\n\n");
        ShowCapacity(view, "after the conversion");
        std::printf("\n");
        ShowTool({"du", "-sh", "card"});
    }

    Heading("Done");
    std::printf("The card folder is %s/card.\n", place_.c_str());
    if (no_mount_reason_.empty()) {
        std::printf("Look again:   quillane mount %s/card %s/view\n", place_.c_str(), place_.c_str());
        std::printf("Unmount with: fusermount3 -u %s/view\n", place_.c_str());
    } else {
        std::printf("The mount was left out: %s\n", no_mount_reason_.c_str());
    }
    std::printf("Remove it all: rm -r %s\n", Quoted(place_).c_str());
    return converted == 0 ? kExitSuccess : kExitFailure;
}

int RunDemo(const Command& self, Arguments arguments) {
    const std::optional<ParsedArguments> parsed = ParseArguments(self, arguments);
    if (!parsed) return kExitUsage;
    if (parsed->help) return ShowHelp(self);
    if (!parsed->operands.empty()) return UsageError(self, "takes no arguments");

    const char* temporary = std::getenv("TMPDIR");
    std::string pattern = std::string(temporary != nullptr && *temporary != '\0' ? temporary : "/tmp") +
                          "/quillane-demo-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        return Fail(self, "cannot make a folder for the demo in " + pattern + ": " + HostErrorText(errno));
    }
    // A store of the demo's own, so the demo never changes the user's
    // settings; a store the user named is used as it is. Set before any
    // registry call, and inherited by every subcommand the demo runs.
    const char* named = std::getenv("QUILLANE_REGISTRY");
    if (named == nullptr || *named == '\0') ::setenv("QUILLANE_REGISTRY", (pattern + "/registry").c_str(), 1);
    Demo demo(self, pattern);
    return demo.Run();
}

}  // namespace

const Command kDemoCommand{
    "demo", "demo", "see Quillane at work on a sample card",
    "Makes a sample card folder in a temporary folder (text, a spreadsheet, a\n"
    "bitmap, program data, a photo and a song of exempt types, random bytes,\n"
    "an empty file, a folder tree), mounts it in the background, shows side by\n"
    "side what programs see and what the card holds (ls -l, du, df, quillane\n"
    "info), converts it, shows the doubled capacity, unmounts and says where\n"
    "the card folder is. Where FUSE is not available it says so and shows the\n"
    "same through the storage manager.\n\n"
    "The demo keeps its own registry store in its temporary folder, so it never\n"
    "changes your settings, unless QUILLANE_REGISTRY names a store to use.\n"
    "TMPDIR chooses where the temporary folder goes (default /tmp);\n"
    "QUILLANE_DEMO_MOUNT=0 leaves the mount out.\n",
    RunDemo};

}  // namespace quillane::cli
