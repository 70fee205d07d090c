// The sample card of `quillane demo` (see demo_card.h).
#include "cli/demo_card.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>

#include "cli/messages.h"

namespace quillane::cli {
namespace {

// Prose from a small vocabulary: compresses about as well as real text.
std::string Prose(size_t size, unsigned seed) {
    static const char* const words[] = {
        "the",      "card",    "holds",     "files",   "of",       "every",   "kind",     "and",
        "a",        "program", "reads",     "them",    "plain",    "while",   "filter",   "stores",
        "each",     "one",     "smaller",   "report",  "quarter",  "sales",   "figures",  "rose",
        "in",       "north",   "region",    "team",    "meeting",  "agreed",  "to",       "review",
        "budget",   "next",    "week",      "travel",  "notes",    "from",    "field",    "station",
        "weather",  "was",     "clear",     "samples", "were",     "taken",   "at",       "dawn",
        "measured", "twice",   "recorded",  "with",    "care",     "before",  "returning", "home"};
    std::mt19937 random(seed);
    std::string text;
    size_t in_sentence = 0;
    while (text.size() < size) {
        std::string word = words[random() % std::size(words)];
        if (in_sentence == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
        text += word;
        if (++in_sentence > 6 + random() % 10) {
            text += random() % 5 == 0 ? ".\n\n" : ". ";
            in_sentence = 0;
        } else {
            text += ' ';
        }
    }
    text.resize(size);
    return text;
}

std::string Measurements(size_t rows) {
    std::mt19937 random(7);
    std::string csv = "date,station,temperature_c,humidity_pct,pressure_hpa\n";
    for (size_t row = 0; row < rows; ++row) {
        char line[96];
        std::snprintf(line, sizeof line, "2024-%02zu-%02zu,ST%02u,%.1f,%u,%u\n", 1 + row / 28 % 12, 1 + row % 28,
                      static_cast<unsigned>(random() % 12), -5.0 + (random() % 400) / 10.0,
                      static_cast<unsigned>(30 + random() % 60), static_cast<unsigned>(990 + random() % 40));
        csv += line;
    }
    return csv;
}

void PutLittleEndian(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A 24-bit bitmap of colour bands: a real BMP, and very compressible.
std::string Bitmap(std::uint32_t width, std::uint32_t height) {
    const std::uint32_t row_bytes = (width * 3 + 3) / 4 * 4;
    const std::uint32_t pixels = row_bytes * height;
    std::string bmp = "BM";
    PutLittleEndian(bmp, 54 + pixels, 4);
    PutLittleEndian(bmp, 0, 4);
    PutLittleEndian(bmp, 54, 4);
    PutLittleEndian(bmp, 40, 4);
    PutLittleEndian(bmp, width, 4);
    PutLittleEndian(bmp, height, 4);
    PutLittleEndian(bmp, 1, 2);
    PutLittleEndian(bmp, 24, 2);
    PutLittleEndian(bmp, 0, 4);
    PutLittleEndian(bmp, pixels, 4);
    PutLittleEndian(bmp, 2835, 4);
    PutLittleEndian(bmp, 2835, 4);
    PutLittleEndian(bmp, 0, 4);
    PutLittleEndian(bmp, 0, 4);
    for (std::uint32_t y = 0; y < height; ++y) {
        std::string row;
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t band = (x / 32 + y / 32) % 4;
            row += static_cast<char>(band * 60);
            row += static_cast<char>(200 - band * 40);
            row += static_cast<char>(x * 255 / width);
        }
        row.resize(row_bytes, '\0');
        bmp += row;
    }
    return bmp;
}

// Fixed-size records of a program's data file: structured binary.
std::string Records(size_t count) {
    std::mt19937 random(11);
    std::string data = "QDAT";
    PutLittleEndian(data, static_cast<std::uint32_t>(count), 4);
    for (size_t i = 0; i < count; ++i) {
        PutLittleEndian(data, static_cast<std::uint32_t>(i), 4);
        PutLittleEndian(data, static_cast<std::uint32_t>(1700000000 + i * 60), 4);
        PutLittleEndian(data, random() % 1000, 4);
        std::string name = "item-" + std::to_string(i % 97);
        name.resize(20, '\0');
        data += name;
    }
    return data;
}

std::string RandomBytes(size_t size, unsigned seed, const std::string& header = {}) {
    std::mt19937 random(seed);
    std::string bytes = header;
    while (bytes.size() < size) bytes += static_cast<char>(random());
    return bytes;
}

}  // namespace

std::vector<SampleFile> WriteSampleCard(const std::string& card_dir, std::string* error) {
    const struct {
        const char* path;
        const char* what;
        std::string content;
    } files[] = {
        {"Documents/report.txt", "text", Prose(300000, 1)},
        {"Documents/notes/todo.md", "short text", "# To do\n\n- back up the card\n- review the quarter report\n"},
        {"Documents/notes/meeting.txt", "text", Prose(40000, 2)},
        {"Data/measurements.csv", "spreadsheet", Measurements(9000)},
        {"Pictures/diagram.bmp", "bitmap", Bitmap(256, 256)},
        {"Pictures/photo.jpg", "photo (exempt type)", RandomBytes(150000, 3, "\xFF\xD8\xFF\xE0")},
        {"Music/song.mp3", "song (exempt type)", RandomBytes(300000, 4, "ID3")},
        {"Programs/tool.dat", "program data", Records(4000)},
        {"Programs/archive.bin", "random bytes", RandomBytes(70000, 5)},
        {"empty.txt", "empty", ""},
    };
    std::vector<SampleFile> written;
    for (const auto& file : files) {
        const std::filesystem::path path = std::filesystem::path(card_dir) / file.path;
        std::error_code failure;
        std::filesystem::create_directories(path.parent_path(), failure);
        std::ofstream out(path, std::ios::binary);
        out << file.content;
        out.close();
        if (failure || !out) {
            *error = "cannot write " + path.string() + ": " + (failure ? failure.message() : HostErrorText(errno));
            return {};
        }
        written.push_back(SampleFile{file.path, file.what});
    }
    return written;
}

}  // namespace quillane::cli
