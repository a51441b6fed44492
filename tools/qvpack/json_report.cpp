#include "tools/qvpack/json_report.h"

#include <cstdio>

namespace KIVRA {
namespace qvpack {

namespace {

// Length of the valid UTF-8 sequence at text[at], or 0 when the byte there does not start
// one (RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF).
size_t utf8Length(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

const char* digestName(DigestState digest) {
    switch (digest) {
        case DigestState::Match:
            return "match";
        case DigestState::Mismatch:
            return "mismatch";
        case DigestState::Unchecked:
            return "unchecked";
        case DigestState::None:
            return "none";
    }
    return "none";
}

const char* outcomeName(ItemOutcome outcome) {
    switch (outcome) {
        case ItemOutcome::Ok:
            return "ok";
        case ItemOutcome::Failed:
            return "failed";
        case ItemOutcome::Warning:
            return "warning";
        case ItemOutcome::Note:
            return "note";
    }
    return "note";
}

}  // namespace

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            const size_t length = utf8Length(text, i);
            if (length == 0) {
                out += "\xEF\xBF\xBD";  // U+FFFD: the name is not text a pipeline can compare
                ++i;
            } else {
                out.append(text, i, length);
                i += length;
            }
            continue;
        }
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            (void)std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += static_cast<char>(byte);
        }
        ++i;
    }
    return out + "\"";
}

void JsonReport::writeItems(std::ostream& out) const {
    out << "{\n  \"package\": " << jsonString(package_) << ",\n  \"manifest\": {";
    const char* separator = "";
    for (const auto& entry : manifest_) {
        out << separator << jsonString(entry.first) << ": " << jsonString(entry.second);
        separator = ", ";
    }
    out << "},\n  \"files\": [";
    separator = "\n";
    const auto orNull = [](const std::string& text) {
        return text.empty() ? std::string("null") : jsonString(text);
    };
    for (const CheckItem& item : items_) {
        out << separator << "    {\"name\": " << jsonString(item.name)
            << ", \"class\": " << jsonString(item.fileClass) << ", \"digest\": \""
            << digestName(item.digest) << "\", \"status\": \"" << outcomeName(item.outcome)
            << "\", \"detail\": " << jsonString(item.detail)
            << ", \"size\": " << (item.sized ? std::to_string(item.size) : std::string("null"))
            << ", \"expected_md5\": " << orNull(item.expected)
            << ", \"actual_md5\": " << orNull(item.actual) << "}";
        separator = ",\n";
    }
    out << (items_.empty() ? "" : "\n  ") << "],\n";
}

void JsonReport::write(std::ostream& out, const CheckSummary& summary) const {
    writeItems(out);
    out << "  \"checks\": " << summary.checks << ",\n  \"failures\": " << summary.failures
        << "\n}\n";
}

void JsonReport::writeError(std::ostream& out, const std::string& kind,
                            const std::string& message) const {
    writeItems(out);
    out << "  \"error\": {\"kind\": " << jsonString(kind)
        << ", \"message\": " << jsonString(message) << "}\n}\n";
}

}  // namespace qvpack
}  // namespace KIVRA
