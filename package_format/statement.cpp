#include "package_format/statement.h"

#include <set>

#include "package_format/image_classes.h"

namespace KIVRA {
namespace package_format {

namespace {

const char* const kProductTypePrefix = "PRODUCT_TYPE=";
const char* const kVersionPrefix = "KIVRA_VERSION=";
const char* const kEpochPrefix = "SECURITY_EPOCH=";
const size_t kSha256TextLength = 64;

bool isDecimal(const std::string& text) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// Decimal text to a value, false beyond max (checked digit by digit, so no overflow).
bool decimalValue(const std::string& text, uint64_t max, uint64_t& value) {
    if (!isDecimal(text)) {
        return false;
    }
    uint64_t result = 0;
    for (const char c : text) {
        const auto digit = static_cast<uint64_t>(c - '0');
        if (result > (max - digit) / 10) {
            return false;
        }
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

bool isSha256Text(const std::string& text) {
    if (text.size() != kSha256TextLength) {
        return false;
    }
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::string(prefix).size(), prefix) == 0;
}

// The value after prefix, which is the whole start of line; false without the prefix.
bool keyValue(const std::string& line, const char* prefix, std::string& value) {
    if (!startsWith(line, prefix)) {
        return false;
    }
    value = line.substr(std::string(prefix).size());
    return true;
}

StatementReading fault(StatementVerdict verdict, size_t line, const std::string& name = "") {
    StatementReading reading;
    reading.verdict = verdict;
    reading.line = line;
    reading.name = name;
    return reading;
}

}  // namespace

const StatementFile* Statement::find(const std::string& name) const {
    for (const StatementFile& file : files) {
        if (file.name == name) {
            return &file;
        }
    }
    return nullptr;
}

bool isStatementName(const std::string& name) {
    return isPlainFileName(name) && name != kStatementName && name != kSignatureName;
}

bool parseSecurityEpoch(const std::string& text, uint32_t& epoch) {
    uint64_t value = 0;
    if (!decimalValue(text, kSecurityEpochMax, value)) {
        return false;
    }
    epoch = static_cast<uint32_t>(value);
    return true;
}

StatementReading readStatement(const std::string& text) {
    if (text.size() > kStatementMaxSize) {
        return fault(StatementVerdict::TooLarge, 0);
    }
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            return fault(StatementVerdict::BadLineEnd, lines.size() + 1);
        }
        lines.push_back(text.substr(start, end - start));
        if (lines.back().find_first_of(std::string("\r\0", 2)) != std::string::npos) {
            return fault(StatementVerdict::BadLineEnd, lines.size());
        }
        start = end + 1;
    }
    if (lines.empty() || lines[0] != kStatementHeader) {
        return fault(StatementVerdict::BadHeader, 1);
    }
    StatementReading reading;
    Statement& statement = reading.statement;
    if (lines.size() < 2 || !keyValue(lines[1], kProductTypePrefix, statement.productType)) {
        return fault(StatementVerdict::BadProductType, 2);
    }
    if (lines.size() < 3 || !keyValue(lines[2], kVersionPrefix, statement.version)) {
        return fault(StatementVerdict::BadVersion, 3);
    }
    std::string epoch;
    if (lines.size() < 4 || !keyValue(lines[3], kEpochPrefix, epoch) ||
        !parseSecurityEpoch(epoch, statement.securityEpoch)) {
        return fault(StatementVerdict::BadEpoch, 4);
    }
    std::set<std::string> names;
    for (size_t i = 4; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const size_t first = line.find(' ');
        const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
        StatementFile file;
        if (second == std::string::npos) {
            return fault(StatementVerdict::BadFileLine, i + 1);
        }
        file.sha256 = line.substr(0, first);
        file.name = line.substr(second + 1);
        if (!isSha256Text(file.sha256) ||
            !decimalValue(line.substr(first + 1, second - first - 1), UINT64_MAX, file.size)) {
            return fault(StatementVerdict::BadFileLine, i + 1);
        }
        if (!isStatementName(file.name)) {
            return fault(StatementVerdict::BadName, i + 1, file.name);
        }
        if (!names.insert(file.name).second) {
            return fault(StatementVerdict::RepeatedName, i + 1, file.name);
        }
        statement.files.push_back(file);
    }
    if (names.count(kManifestName) == 0) {
        return fault(StatementVerdict::NoManifestLine, 0);
    }
    if (names.count(kDigestListName) == 0) {
        return fault(StatementVerdict::NoDigestListLine, 0);
    }
    return reading;
}

std::string describe(const StatementReading& reading) {
    const std::string at = std::string(kStatementName) +
                           (reading.line == 0 ? "" : " line " + std::to_string(reading.line)) +
                           ": ";
    switch (reading.verdict) {
        case StatementVerdict::Valid:
            return "";
        case StatementVerdict::TooLarge:
            return at + "larger than " + std::to_string(kStatementMaxSize) + " bytes";
        case StatementVerdict::BadLineEnd:
            return at + "not a line ending in a line feed alone";
        case StatementVerdict::BadHeader:
            return at + "not \"" + kStatementHeader + "\"";
        case StatementVerdict::BadProductType:
            return at + "not \"" + kProductTypePrefix + "<type>\"";
        case StatementVerdict::BadVersion:
            return at + "not \"" + kVersionPrefix + "<version>\"";
        case StatementVerdict::BadEpoch:
            return at + "not \"" + kEpochPrefix + "<decimal 0 to " +
                   std::to_string(kSecurityEpochMax) + ">\"";
        case StatementVerdict::BadFileLine:
            return at + "not \"<sha256> <size> <name>\"";
        case StatementVerdict::BadName:
            return at + "the name \"" + reading.name + "\" cannot stand in a package";
        case StatementVerdict::RepeatedName:
            return at + reading.name + " listed twice";
        case StatementVerdict::NoManifestLine:
            return at + kManifestName + " is not listed";
        case StatementVerdict::NoDigestListLine:
            return at + kDigestListName + " is not listed";
    }
    return at + "unreadable";
}

std::string formatStatement(const Statement& statement) {
    std::string text = std::string(kStatementHeader) + "\n" + kProductTypePrefix +
                       statement.productType + "\n" + kVersionPrefix + statement.version + "\n" +
                       kEpochPrefix + std::to_string(statement.securityEpoch) + "\n";
    for (const StatementFile& file : statement.files) {
        text += file.sha256 + " " + std::to_string(file.size) + " " + file.name + "\n";
    }
    return text;
}

}  // namespace package_format
}  // namespace KIVRA
