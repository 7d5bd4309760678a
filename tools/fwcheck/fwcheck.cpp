// tw_fwcheck: loads a firmware S-record file with the updater's own loader, as
// the updater loads it at start-up, and prints the firmware's identity.
//   tw_fwcheck FILE.s19 [IDENTITY.h]
// A file that the loader refuses fails with its name and the loader's message
// (exit code 1), and nothing is written. So does a file that the loader takes
// but that was cut short: the loader stops at an end mark (Ctrl-Z or NUL)
// and at the end of the text, so a release file cut at a line boundary, or
// with a stray Ctrl-Z, would load half the firmware without a word. Otherwise the identity line
// goes to stdout and, when a header is named, into it for the resource script.
#include "image/crc16.h"
#include "image/image.h"
#include "image/srec.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
// The start-up's error buffer: 256 bytes, of which the loader may fill 255.
constexpr int32_t kErrorSize = 255;
constexpr size_t kS0AddressBytes = 2;
constexpr char kNoHeader[] = "(no header)";
constexpr char kEndOfText = '\x1A';
// Record types that end a file: a start address of 4, 3 or 2 bytes.
constexpr char kTerminationTypes[] = "789";

bool ReadText(const char* path, std::string* text) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        return false;
    }
    char chunk[65536];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        text->append(chunk, n);
    }
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

int HexByte(const std::string& text, size_t at) {
    if (at + 1 >= text.size()) {
        return -1;
    }
    const int high = HexValue(text[at]);
    const int low = HexValue(text[at + 1]);
    return high < 0 || low < 0 ? -1 : high << 4 | low;
}

// The text of the first S0 record, which the loader tests but does not keep.
// Only called on a text that the loader accepted, so every line is a record;
// characters that are not printable become '?'.
std::string HeaderText(const std::string& text) {
    size_t at = 0;
    while (at < text.size() && text[at] != kEndOfText && text.compare(at, 2, "S0") != 0) {
        const size_t end = text.find_first_of("\r\n", at);
        at = end == std::string::npos ? end : text.find_first_not_of("\r\n", end);
    }
    if (at >= text.size() || text[at] == kEndOfText) {
        return kNoHeader;
    }
    const int count = HexByte(text, at + 2);
    std::string header;
    // The address bytes first, the checksum byte last.
    for (int i = static_cast<int>(kS0AddressBytes); i < count - 1; ++i) {
        const int b = HexByte(text, at + 4 + 2 * static_cast<size_t>(i));
        if (b <= 0) {
            break; // a NUL pads the text out
        }
        header += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '?';
    }
    while (!header.empty() && header.back() == ' ') {
        header.pop_back();
    }
    return header.empty() ? kNoHeader : header;
}

bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

// What the loader cannot see: text behind the mark where it stopped, and a
// last record that does not end the file. `loaded` is the part the loader
// read (up to the first NUL), `text` the whole file. Only called on a text
// that the loader accepted, so every line up to the mark is a record, and
// lines are counted as the loader counts them (a pair of line-end characters
// is one line end). Empty when the file is whole; else the loader's form of
// message.
std::string CutShort(const std::string& text, size_t loaded) {
    int line = 1;
    int record_line = 0;
    char record_type = 0;
    size_t at = 0;
    while (at < loaded && text[at] != kEndOfText) {
        record_line = line;
        record_type = text[at + 1];
        while (at < loaded && !IsLineEnd(text[at]) && text[at] != kEndOfText) {
            ++at;
        }
        if (at < loaded && IsLineEnd(text[at])) {
            ++line;
            ++at;
            if (at < loaded && IsLineEnd(text[at])) {
                ++at;
            }
        }
    }
    char message[128];
    if (at < text.size()) {
        // The mark itself, then nothing but line ends.
        for (size_t i = at + 1; i < text.size(); ++i) {
            if (!IsLineEnd(text[i])) {
                std::snprintf(message, sizeof message,
                              "Error in line %d: %s before the end of the file", line,
                              text[at] == kEndOfText ? "Ctrl-Z" : "NUL");
                return message;
            }
        }
    }
    if (record_line == 0 || std::strchr(kTerminationTypes, record_type) == nullptr) {
        std::snprintf(
            message, sizeof message,
            "Error in line %d: Last record is S%c, not a termination record (S7, S8 or S9)",
            record_line, record_type);
        return message;
    }
    return std::string();
}

std::string Identity(IMAGE* image, const std::string& header) {
    const IMAGE_AREA* areas = image->first;
    int count = 0;
    std::string list;
    uint32_t last_end = 0;
    for (const IMAGE_AREA* a = areas; a != nullptr; a = a->next) {
        char area[48];
        std::snprintf(area, sizeof area, "%s0x%08X+%u", count > 0 ? ", " : "",
                      static_cast<unsigned>(a->start), static_cast<unsigned>(a->length));
        list += area;
        last_end = a->start + a->length;
        ++count;
    }
    // The handheld declares two CRC ranges, the two areas of its firmware. A
    // file of more areas is taken as the first and a second range from the
    // second area to the end of the last, its holes read as 0xFF.
    uint32_t start[2] = {areas->start, 0};
    uint32_t length[2] = {areas->length, 0};
    if (areas->next != nullptr) {
        start[1] = areas->next->start;
        length[1] = last_end - start[1];
    }
    const uint16_t crc = IMAGE_CalcRangesCRC(image, start, length);
    char figures[96];
    std::snprintf(figures, sizeof figures, " - %u bytes in %d area%s ",
                  static_cast<unsigned>(IMAGE_GetNumBytes(image)), count, count == 1 ? "" : "s");
    char tail[32];
    std::snprintf(tail, sizeof tail, " - CRC-16 0x%04X", static_cast<unsigned>(crc));
    return "Firmware: " + header + figures + list + tail;
}

// A resource script's string: quotes doubled, backslashes escaped.
std::string ResourceString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        out += c == '"' ? "\"\"" : c == '\\' ? "\\\\" : std::string(1, c);
    }
    return out + "\"";
}

bool WriteHeader(const char* path, const char* source, const std::string& identity) {
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        return false;
    }
    std::fprintf(f, "// Generated by tw_fwcheck from %s; do not edit.\n#pragma once\n\n", source);
    std::fprintf(f, "#define TW_FIRMWARE_IDENTITY %s\n", ResourceString(identity).c_str());
    return std::fclose(f) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: tw_fwcheck FILE.s19 [IDENTITY.h]\n");
        return kExitUsage;
    }
    const char* path = argv[1];
    const char* header_path = argc == 3 ? argv[2] : nullptr;
    // A header left from an earlier good file must not outlive a refused one.
    if (header_path != nullptr) {
        std::remove(header_path);
    }
    std::string text;
    if (!ReadText(path, &text)) {
        std::fprintf(stderr, "%s: cannot be read\n", path);
        return kExitRefused;
    }
    IMAGE* image = IMAGE_Create();
    if (image == nullptr) {
        std::fprintf(stderr, "%s: out of memory\n", path);
        return kExitRefused;
    }
    char error[kErrorSize + 1] = {};
    int exit_code = 0;
    // The updater's copy ends at the first NUL, and so does what is loaded.
    const size_t loaded = std::strlen(text.c_str());
    std::string cut;
    if (SREC_Load(image, text.c_str(), error, kErrorSize) != 0) {
        std::fprintf(stderr, "%s: %s\n", path, error);
        exit_code = kExitRefused;
    } else if (image->first == nullptr) {
        std::fprintf(stderr, "%s: no data records\n", path);
        exit_code = kExitRefused;
    } else if (!(cut = CutShort(text, loaded)).empty()) {
        std::fprintf(stderr, "%s: %s\n", path, cut.c_str());
        exit_code = kExitRefused;
    } else {
        const std::string identity = Identity(image, HeaderText(text.substr(0, loaded)));
        std::printf("%s\n", identity.c_str());
        const char* name = path;
        for (const char* p = path; *p != '\0'; ++p) {
            if (*p == '/' || *p == '\\') {
                name = p + 1;
            }
        }
        if (header_path != nullptr && !WriteHeader(header_path, name, identity)) {
            std::fprintf(stderr, "%s: cannot be written\n", header_path);
            exit_code = kExitRefused;
        }
    }
    IMAGE_Free(image);
    return exit_code;
}
