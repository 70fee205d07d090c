// Tests of the Convert page on real cards: card folders on the disk mounted
// through the real storage manager with the real filter Quillane.so stacked
// on them, the sheet driven by clicks and keys under Qt's offscreen platform.
// What the card holds afterwards is read from the host folder (compressed
// files begin with the format's signature) and through the platform's file
// API (the filter gives every file back plain).
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTest>

#include "platform/afx/qt_text.h"
#include "platform/storage/file_api.h"
#include "platform/storage/storage_manager.h"
#include "settings/resource.h"
#include "settings/tests/sheet_driver.h"
#include "settings/tests/test_registry.h"
#include "tests/damaged_forms.h"

namespace {

constexpr char kSignature[] = "\xBE\xEF\x85\xA1";

// Records the status box's text each time the box is painted, so the test
// sees what the user saw, in order, during the walk. On request it also keeps
// a picture of the window as it stood while the first file was shown.
class StatusWatcher : public QObject {
public:
    explicit StatusWatcher(QPlainTextEdit* box, bool keep_picture = false) : box_(box), keep_picture_(keep_picture) {
        box->viewport()->installEventFilter(this);
    }

    QStringList painted;
    QPixmap picture;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            const QString text = box_->toPlainText();
            if (painted.isEmpty() || painted.last() != text) {
                painted << text;
                if (keep_picture_ && painted.size() == 2) {
                    keep_picture_ = false;  // the picture paints the box again
                    picture = box_->window()->grab();
                }
            }
        }
        return false;
    }

private:
    QPlainTextEdit* box_;
    bool keep_picture_;
};

std::string HostContent(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool IsCompressed(const QString& path) { return HostContent(path).rfind(kSignature, 0) == 0; }

void PutHostFile(const QString& path, const std::string& content) {
    QDir().mkpath(QFileInfo(path).path());
    std::ofstream(path.toStdString(), std::ios::binary) << content;
}

// Readable, compressible content that differs per file.
std::string Content(const std::string& seed) {
    std::string content;
    for (int i = 0; i < 200; ++i) content += seed + " line " + std::to_string(i) + "\n";
    return content;
}

// The whole file read through the platform (and so through the filter).
std::string PlatformContent(const std::u16string& path) {
    HANDLE file = platform::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<cannot open>";
    std::string content;
    char buffer[4096];
    DWORD count = 0;
    while (platform::ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) content.append(buffer, count);
    platform::CloseHandle(file);
    return content;
}

// The status texts a walk of `folder` shows, in the platform's search order,
// depth first: the reference the page's walk is held to.
void AppendExpectedTexts(const std::u16string& folder, QStringList& texts) {
    WIN32_FIND_DATAW entry;
    HANDLE search = platform::FindFirstFileW((folder + u"\\*.*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::u16string name = entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            AppendExpectedTexts(folder + u"\\" + name, texts);
        } else {
            texts << QStringFromWide(u"Converting ...\n" + folder + u"\\\n" + name);
        }
    } while (platform::FindNextFileW(search, &entry));
    platform::FindClose(search);
}

QPlainTextEdit* StatusBox(QWidget* sheet) { return PageControl<QPlainTextEdit>(sheet, IDD_CONVERT, IDC_STATUS); }
QComboBox* DeviceList(QWidget* sheet) { return PageControl<QComboBox>(sheet, IDD_CONVERT, IDC_DEVICE_LIST); }

// Chooses entry `index` of the device list with the keyboard.
void ChooseDevice(QWidget* sheet, int index) {
    QComboBox* devices = DeviceList(sheet);
    devices->setFocus();
    QTest::keyClick(devices, Qt::Key_Home);
    for (int i = 0; i < index; ++i) QTest::keyClick(devices, Qt::Key_Down);
}

}  // namespace

class ConvertPageTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestRegistry> registry_;
    std::unique_ptr<QTemporaryDir> cards_;

    // A card folder on the disk (not /tmp, which may keep no attributes).
    QString CardFolder(const QString& name) const { return cards_->filePath(name); }

    void Mount(const std::u16string& folder_name, const QString& host) {
        QDir().mkpath(host);
        std::string message;
        QCOMPARE(platform::StorageManager::Instance().MountCard(folder_name, host.toStdString(), &message),
                 ERROR_SUCCESS);
    }

    // Runs the program, chooses the first card, taps Convert and records the
    // status texts; then OK.
    QStringList ConvertFirstCard(const QString& picture = {}) {
        QStringList painted;
        const BOOL result = RunSettings([&](QWidget* sheet) {
            StatusWatcher watcher(StatusBox(sheet), !picture.isEmpty());
            ChooseDevice(sheet, 0);
            Click(PageControl<QPushButton>(sheet, IDD_CONVERT, IDC_CONVERT));
            // A message box would still hold the click; none may come.
            QCOMPARE(QApplication::activeModalWidget(), sheet);
            painted = watcher.painted;
            if (!picture.isEmpty()) {
                SaveScreenshot(sheet, picture);
                SavePicture(watcher.picture, picture + "-walking");
            }
            ClickOk(sheet);
        });
        if (result != FALSE) QTest::qFail("start-up asked for a message loop", __FILE__, __LINE__);
        return painted;
    }

private slots:
    void init() {
        registry_ = std::make_unique<TestRegistry>();
        QVERIFY(registry_->ready());
        QCOMPARE(platform::InstallFilter(), ERROR_SUCCESS);
        const QByteArray base = qgetenv("QUILLANE_TEST_BINARY_DIR");
        QDir().mkpath(QString::fromLocal8Bit(base) + "/settings-cards");
        cards_ = std::make_unique<QTemporaryDir>(QString::fromLocal8Bit(base) + "/settings-cards/convert-XXXXXX");
        QVERIFY(cards_->isValid());
    }

    void cleanup() {
        platform::StorageManager::Instance().UnmountAll();
        cards_.reset();
        registry_.reset();
    }

    void deviceListShowsTheCardsInRootSearchOrder() {
        Mount(u"Storage Card", CardFolder("first"));
        Mount(u"CF Card", CardFolder("second"));
        QVERIFY(!RunSettings([](QWidget* sheet) {
            QCOMPARE(Entries(DeviceList(sheet)), (QStringList{"Storage Card", "CF Card"}));
            QCOMPARE(DeviceList(sheet)->currentIndex(), -1);
            ClickCancel(sheet);
        }));
    }

    void convertWithoutASelectionChangesNothing() {
        const QString card = CardFolder("card");
        PutHostFile(card + "/a.txt", Content("a"));
        Mount(u"Storage Card", card);
        MessageBoxSeen seen;
        QVERIFY(!RunSettings([&seen](QWidget* sheet) {
            DismissNextMessageBox(seen);
            Click(PageControl<QPushButton>(sheet, IDD_CONVERT, IDC_CONVERT));
            QCOMPARE(StatusBox(sheet)->toPlainText(), QString());
            ClickOk(sheet);
        }));
        QCOMPARE(seen.text, QStringLiteral("Please select Storage Device above."));
        QVERIFY(!IsCompressed(card + "/a.txt"));
        QVERIFY(!QFileInfo::exists(card + "/quillane.x13"));
    }

    void conversionCompressesEveryFileButExemptAndEmptyOnes() {
        QVERIFY(registry_->PutException(u".mp3"));
        const QString card = CardFolder("card");
        const struct {
            const char* path;
            std::string content;
            bool compressed;
        } files[] = {
            {"a.txt", Content("a"), true},
            {"Music/b.mp3", Content("b"), false},  // exempt
            {"Music/c.wav", Content("c"), true},
            {"empty.dat", "", false},
            {"Deep/er/d.bin", Content("d"), true},
            {"hidden.txt", Content("h"), true},
            {"noext", Content("n"), true},
        };
        for (const auto& file : files) PutHostFile(card + "/" + file.path, file.content);
        QDir(card).mkpath("Void");  // an empty folder: its search finds nothing
        Mount(u"Storage Card", card);
        QVERIFY(platform::SetFileAttributesW(u"\\Storage Card\\hidden.txt", FILE_ATTRIBUTE_HIDDEN));

        QStringList expected{"Converting..."};
        AppendExpectedTexts(u"\\Storage Card", expected);
        expected << "Finish";
        QCOMPARE(expected.size(), int(std::size(files)) + 2);

        const QStringList painted = ConvertFirstCard("convert-page");
        QCOMPARE(painted, expected);
        for (const QString& text : painted.mid(1, painted.size() - 2)) QCOMPARE(text.split('\n').size(), 3);

        for (const auto& file : files) {
            const QString host = card + "/" + file.path;
            QVERIFY2(IsCompressed(host) == file.compressed, file.path);
            QCOMPARE(PlatformContent(u"\\Storage Card\\" + QString(file.path).replace('/', '\\').toStdU16String()),
                     file.content);
        }
        QCOMPARE(HostContent(card + "/Music/b.mp3"), files[1].content);
        QCOMPARE(QFileInfo(card + "/empty.dat").size(), 0);

        QVERIFY(QFileInfo::exists(card + "/quillane.x13"));
        QCOMPARE(QFileInfo(card + "/quillane.x13").size(), 0);
        const DWORD marker = platform::GetFileAttributesW(u"\\Storage Card\\quillane.x13");
        QVERIFY(marker != INVALID_FILE_ATTRIBUTES);
        QVERIFY((marker & FILE_ATTRIBUTE_HIDDEN) != 0);
    }

    void theStatusShowsTheFolderWithATrailingBackslash() {
        const QString card = CardFolder("card");
        PutHostFile(card + "/Music/b.mp3", Content("b"));
        Mount(u"Storage Card", card);
        const QStringList painted = ConvertFirstCard();
        QCOMPARE(painted, (QStringList{"Converting...", "Converting ...\n\\Storage Card\\Music\\\nb.mp3", "Finish"}));
    }

    void anEmptyCardGetsOnlyTheMarker() {
        const QString card = CardFolder("card");
        Mount(u"Storage Card", card);
        QCOMPARE(ConvertFirstCard(), (QStringList{"Converting...", "Finish"}));
        QCOMPARE(QDir(card).entryList(QDir::Files | QDir::Hidden), QStringList{"quillane.x13"});
        QCOMPARE(QFileInfo(card + "/quillane.x13").size(), 0);
    }

    void aFileHeldOpenElsewhereIsPassedOver() {
        const QString card = CardFolder("card");
        PutHostFile(card + "/busy.txt", Content("busy"));
        PutHostFile(card + "/free.txt", Content("free"));
        Mount(u"Storage Card", card);
        HANDLE held = platform::CreateFileW(u"\\Storage Card\\busy.txt", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        QVERIFY(held != INVALID_HANDLE_VALUE);
        const QStringList painted = ConvertFirstCard();
        QVERIFY(platform::CloseHandle(held));
        QCOMPARE(painted.size(), 4);  // both files were shown, in search order
        QCOMPARE(HostContent(card + "/busy.txt"), Content("busy"));
        QVERIFY(IsCompressed(card + "/free.txt"));
        QVERIFY(QFileInfo::exists(card + "/quillane.x13"));
    }

    void aSecondConversionKeepsEveryFileWhole() {
        const QString card = CardFolder("card");
        PutHostFile(card + "/a.txt", Content("a"));
        PutHostFile(card + "/quillane.x13", "left from before");
        Mount(u"Storage Card", card);
        ConvertFirstCard();
        ConvertFirstCard();
        QVERIFY(IsCompressed(card + "/a.txt"));
        QCOMPARE(PlatformContent(u"\\Storage Card\\a.txt"), Content("a"));
        QCOMPARE(QFileInfo(card + "/quillane.x13").size(), 0);
    }

    void pathsLongerThan255CharactersArePassedOverNotCut() {
        // "\Storage Card\" is 14 characters: a folder name of 236 makes the
        // folder's path 250 and its search pattern 254, so "y" (252) fits,
        // "x.tx" (255) just fits and "x.txt" (256) does not; a cut would
        // have turned it into "x.tx".
        const QString card = CardFolder("card");
        const QString fits = QString(236, 'f');
        PutHostFile(card + "/" + fits + "/y", Content("y"));
        PutHostFile(card + "/" + fits + "/x.tx", Content("x.tx"));
        PutHostFile(card + "/" + fits + "/x.txt", Content("x.txt"));
        // A folder name of 240: its path (254) fits, its pattern (258) does not.
        const QString unsearchable = QString(240, 'u');
        PutHostFile(card + "/" + unsearchable + "/z", Content("z"));
        PutHostFile(card + "/ok.txt", Content("ok"));
        Mount(u"Storage Card", card);

        const QStringList painted = ConvertFirstCard();
        QCOMPARE(painted.size(), 2 + 3);  // y, x.tx and ok.txt
        QVERIFY(IsCompressed(card + "/" + fits + "/y"));
        QVERIFY(IsCompressed(card + "/" + fits + "/x.tx"));
        QCOMPARE(PlatformContent(u"\\Storage Card\\" + fits.toStdU16String() + u"\\x.tx"), Content("x.tx"));
        QCOMPARE(HostContent(card + "/" + fits + "/x.txt"), Content("x.txt"));
        QCOMPARE(HostContent(card + "/" + unsearchable + "/z"), Content("z"));
        QVERIFY(IsCompressed(card + "/ok.txt"));
        QVERIFY(QFileInfo::exists(card + "/quillane.x13"));
    }

    void damagedFilesArePassedOverAsTheyAreAndNamedAtTheEnd() {
        const QString card = CardFolder("card");
        Mount(u"Storage Card", card);
        // A sound compressed file, written through the filter, then each
        // damaged form of it put on the card behind the filter's back.
        const std::string plain = Content("sound") + Content("more") + Content("still more");
        HANDLE file = platform::CreateFileW(u"\\Storage Card\\sound.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
        QVERIFY(file != INVALID_HANDLE_VALUE);
        DWORD written = 0;
        QVERIFY(platform::WriteFile(file, plain.data(), static_cast<DWORD>(plain.size()), &written, nullptr));
        QVERIFY(platform::CloseHandle(file));
        const std::string sound = HostContent(card + "/sound.txt");
        QVERIFY(IsCompressed(card + "/sound.txt"));
        const auto forms = quillane::test_forms::DamagedForms(sound);
        for (size_t i = 0; i < forms.size(); ++i) {
            PutHostFile(card + "/Bad/d" + QString::number(i) + ".txt", forms[i].bytes);
        }

        const QStringList painted = ConvertFirstCard();
        QVERIFY(!painted.isEmpty());
        const QStringList finish = painted.last().split('\n');
        QCOMPARE(finish.value(0), QStringLiteral("Finish"));
        QCOMPARE(finish.value(1), QStringLiteral("Damaged, left as they are:"));
        QCOMPARE(finish.size(), 2 + int(forms.size()));
        for (size_t i = 0; i < forms.size(); ++i) {
            QVERIFY(finish.contains("\\Storage Card\\Bad\\d" + QString::number(i) + ".txt"));
            QCOMPARE(HostContent(card + "/Bad/d" + QString::number(i) + ".txt"), forms[i].bytes);
        }
        QCOMPARE(PlatformContent(u"\\Storage Card\\sound.txt"), plain);
    }

    void theDeepestTreeThePathLimitAllowsIsWalked() {
        // Folders "d" nested 119 deep: "\Storage Card" + 119 x "\d" is 251
        // characters, its pattern 255. One level more cannot be searched.
        const QString card = CardFolder("card");
        QString deepest = card;
        for (int level = 0; level < 119; ++level) deepest += "/d";
        PutHostFile(deepest + "/f", Content("deep"));
        PutHostFile(deepest + "/d/g", Content("too deep"));
        PutHostFile(card + "/top.txt", Content("top"));
        Mount(u"Storage Card", card);

        const QStringList painted = ConvertFirstCard();
        QCOMPARE(painted.size(), 2 + 2);
        QVERIFY(IsCompressed(deepest + "/f"));
        QCOMPARE(HostContent(deepest + "/d/g"), Content("too deep"));
        QVERIFY(IsCompressed(card + "/top.txt"));
    }
};

QTEST_MAIN(ConvertPageTest)
#include "convert_page_test.moc"
