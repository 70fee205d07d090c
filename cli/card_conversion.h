// Converting a mounted card, as the Convert page does it: every file opened
// (GENERIC_READ, no sharing, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL), flushed
// and closed through the platform's file API, so that the filter stores it
// compressed at the close, then the hidden empty marker file "quillane.x13"
// created at the card root. Unlike the page it keeps count: what each file
// became (read from the host folder after its close) and why a file was
// passed over; and it leaves out of the walk the marker and the filter's
// working files at the root (an interrupted close's staging file is no file
// of the user's: recover handles it). Used by convert and demo; prints
// nothing itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/core/types.h"

namespace quillane::cli {

class CardSession;

struct ConversionReport {
    std::uint64_t files_total = 0;    // files the walk opens (too-long ones left out)
    std::uint64_t files_done = 0;
    std::uint64_t compressed = 0;     // stored compressed after their close
    std::uint64_t bytes_before = 0;   // host sizes of the files walked, before
    std::uint64_t bytes_after = 0;    // and after their close
    // Files passed over, by reason; paths relative to the card, "/"-separated.
    std::vector<std::string> held_open;       // another handle holds them (sharing violation)
    std::vector<std::string> damaged;         // compressed data that does not decode: left as it is
    std::vector<std::string> not_opened;      // another reason; the text says which
    std::vector<std::string> too_long;        // files and folders over 255 characters
    std::vector<std::string> unreadable;      // folders whose search could not start
    std::vector<std::string> exempt;          // of an exempt type: the filter leaves them plain
    std::vector<std::string> empty;           // nothing to compress
    std::vector<std::string> left_plain;      // none of the above, yet not compressed
    std::vector<std::string> close_failed;    // the card may not hold what the close stored
    // The filter's working files left at the root by an interrupted open or
    // close: not walked, for `quillane recover` tells what they hold.
    std::vector<std::string> leftovers;
    bool marker_created = false;   // the marker is on the card now (made or already there)
    bool marker_existed = false;   // it was there before this conversion
    bool marker_hidden = false;    // the card itself keeps it hidden
    DWORD marker_error = ERROR_SUCCESS;

    // Files and folders that did not become what the filter makes of them.
    std::uint64_t Failures() const {
        return held_open.size() + damaged.size() + not_opened.size() + too_long.size() + unreadable.size() +
               left_plain.size() + close_failed.size();
    }
};

// Called before each file is opened, with the report so far and the path.
using ConversionProgress = std::function<void(const ConversionReport& report, const std::string& path)>;

// Converts the card of `session`: counts its files, converts them in the
// walk's order, then creates the marker file.
ConversionReport ConvertCard(const CardSession& session, const ConversionProgress& progress);

// The card root path as a host-relative path, "Music/b.mp3" for
// "\Storage Card\Music\b.mp3".
std::string RelativeHostPath(const CardSession& session, const std::u16string& card_path);

// The name of the marker file at the card root.
inline constexpr char16_t kMarkerName[] = u"quillane.x13";

}  // namespace quillane::cli
