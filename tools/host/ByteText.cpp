// Escaping, hex dumps and their parsers for the host's texts.
#include "host/ByteText.h"

namespace {

const char Digits[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::string EscapeBytes(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                out += "\\x";
                out += Digits[c >> 4];
                out += Digits[c & 15];
            }
        }
    }
    return out;
}

std::string HexBytes(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += Digits[c >> 4];
        out += Digits[c & 15];
    }
    return out;
}

bool UnescapeText(const std::string& text, std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
        case '\\':
            out += '\\';
            break;
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case '0':
            out += '\0';
            break;
        case 'x': {
            int hi = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
            int lo = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
            if (hi < 0 || lo < 0) return false;
            out += static_cast<char>(hi << 4 | lo);
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    bytes = out;
    return true;
}

bool ParseHexBytes(const std::string& text, std::string& bytes) {
    std::string out;
    int high = -1;
    for (char c : text) {
        int v = HexValue(c);
        if (v < 0) {
            bool separator = c == ' ' || c == ',' || c == ':' || c == '-' || c == '\t';
            if (!separator || high >= 0) return false; // a lone digit before a separator
            continue;
        }
        if (high < 0) {
            high = v;
        } else {
            out += static_cast<char>(high << 4 | v);
            high = -1;
        }
    }
    if (high >= 0) return false;
    bytes = out;
    return true;
}
