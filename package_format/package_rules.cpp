#include "package_format/package_rules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "package_format/file_digest.h"
#include "package_format/image_classes.h"
#include "package_format/manifest_keys.h"
#include "package_format/products.h"
#include "package_format/signature.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace package_format {

namespace {

Verdict verdict(Finding finding, Outcome outcome, std::string subject = "", std::string found = "",
                std::string wanted = "") {
    Verdict result;
    result.finding = finding;
    result.outcome = outcome;
    result.subject = std::move(subject);
    result.found = std::move(found);
    result.wanted = std::move(wanted);
    return result;
}

bool isScriptByte(unsigned char byte) {
    return (byte >= 0x20 || byte == '\t' || byte == '\n' || byte == '\r' || byte == '\f' ||
            byte == '\v') &&
           byte != 0x7F;
}

bool isListByte(unsigned char byte) {
    return (byte >= 0x21 && byte <= 0x7E) || byte == ' ' || (byte >= '\t' && byte <= '\r');
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() > suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<Verdict> one(Verdict v) { return {std::move(v)}; }

// No manifest comes near this; a signed statement claiming more is refused on the bytes read.
const uint64_t kManifestMax = uint64_t{16} * 1024 * 1024;

// Up to max bytes of path, exactly as they stand (no line end added). 0, or the errno of the
// failed step.
int readUpTo(const std::string& path, size_t max, std::string& content) {
    const qvsystemtools::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return errno;
    }
    std::string data(max, '\0');
    const qvsystemtools::ReadResult read = qvsystemtools::readFull(fd.get(), data.data(), max);
    if (read.error != 0) {
        return read.error;
    }
    data.resize(read.count);
    content = std::move(data);
    return 0;
}

}  // namespace

struct ContentScan::State {
    Md5Stream md5;
    ContentFacts facts;
    unsigned char head[sizeof kUbootMagic] = {};
    size_t headLength = 0;
};

ContentScan::ContentScan() : state_(std::make_unique<State>()) {}
ContentScan::~ContentScan() = default;

void ContentScan::update(const unsigned char* data, size_t length) {
    State& s = *state_;
    s.md5.update(data, length);
    const size_t head = std::min(length, sizeof s.head - s.headLength);
    std::memcpy(s.head + s.headLength, data, head);
    s.headLength += head;
    for (size_t i = 0; i < length && (s.facts.text || s.facts.listText); ++i) {
        s.facts.text = s.facts.text && isScriptByte(data[i]);
        s.facts.listText = s.facts.listText && isListByte(data[i]);
    }
}

ContentFacts ContentScan::finish() {
    State& s = *state_;
    s.facts.size = s.md5.size();
    s.facts.digest = s.md5.finish();
    s.facts.ubootHeader =
        s.headLength == sizeof s.head && std::memcmp(s.head, kUbootMagic, sizeof s.head) == 0;
    return s.facts;
}

bool scanFile(const std::string& path, ContentFacts& facts) {
    qvsystemtools::UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) {
        return false;
    }
    ContentScan scan;
    unsigned char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        scan.update(buffer, static_cast<size_t>(n));
    }
    facts = scan.finish();
    return true;
}

EntryKind entryKindOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? EntryKind::Absent : EntryKind::Other;
    }
    return S_ISREG(st.st_mode) ? EntryKind::Regular : EntryKind::Other;
}

Verdict checkManifestFile(EntryKind kind) {
    switch (kind) {
        case EntryKind::Absent:
            return verdict(Finding::ManifestMissing, Outcome::Refuse, kManifestName);
        case EntryKind::Other:
            return verdict(Finding::ManifestNotRegular, Outcome::Refuse, kManifestName);
        case EntryKind::Regular:
            break;
    }
    return verdict(Finding::None, Outcome::Pass, kManifestName);
}

Verdict checkProductType(const Manifest& manifest, const std::optional<std::string>& product) {
    const auto entry = manifest.find(kProductTypeKey);
    if (entry == manifest.end() || entry->second.empty()) {
        return verdict(Finding::ProductTypeMissing, Outcome::Refuse, kManifestName);
    }
    const std::string& type = entry->second;
    if (!product) {
        return isProductType(type)
                   ? verdict(Finding::None, Outcome::Pass, kManifestName, type)
                   : verdict(Finding::TypeOfNoProduct, Outcome::Refuse, kManifestName, type);
    }
    const std::string deviceType = productTypeOf(*product);
    if (deviceType.empty()) {
        return verdict(Finding::UnknownProduct, Outcome::Refuse, *product, type);
    }
    if (type != deviceType) {
        return verdict(Finding::ProductTypeMismatch, Outcome::Refuse, *product, type, deviceType);
    }
    return verdict(Finding::None, Outcome::Pass, kManifestName, type, deviceType);
}

Verdict checkVersion(const Manifest& manifest) {
    const auto entry = manifest.find(kVersionKey);
    // An empty version is a version like any other: the empty passphrase is a valid key.
    if (entry == manifest.end()) {
        return verdict(Finding::VersionMissing, Outcome::Refuse, kManifestName);
    }
    return verdict(Finding::None, Outcome::Pass, kManifestName, entry->second);
}

// A script the package itself says is damaged is never run, as root, through /bin/sh: its
// digest decides. Without a digest the installer runs what it decrypted, and a script that
// fails is only logged.
Verdict checkScript(const Manifest& manifest, EntryKind kind,
                    const std::optional<ContentFacts>& plain) {
    if (kind == EntryKind::Absent) {
        return verdict(Finding::NoScript, Outcome::Pass, kInitScriptName);
    }
    if (kind == EntryKind::Other) {
        return verdict(Finding::ScriptNotRegular, Outcome::Warn, kInitScriptName);
    }
    if (!plain) {
        return verdict(Finding::ScriptUndecryptable, Outcome::Warn, kInitScriptName);
    }
    const auto digest = manifest.find(kInitScriptDigestKey);
    Verdict result = verdict(Finding::None, Outcome::Pass, kInitScriptName,
                             digest == manifest.end() ? "" : digest->second, plain->digest);
    result.content = plain;
    if (digest != manifest.end() && !isDigestText(digest->second)) {
        result.finding = Finding::ScriptDigestMalformed;
        result.outcome = Outcome::Refuse;
    } else if (digest != manifest.end() && digest->second != plain->digest) {
        result.finding = Finding::ScriptDigestMismatch;
        result.outcome = Outcome::Refuse;
    } else if (!plain->text) {
        result.finding = Finding::ScriptNotText;
        result.outcome = Outcome::Warn;
    } else if (digest == manifest.end()) {
        result.finding = Finding::ScriptUncovered;
    }
    return result;
}

// The installer compares RM identifier + "_VERSION" and + "_MD5" with the stored radio-module
// image; an identifier without both cannot be compared. The check never stops a run.
std::vector<Verdict> checkRadioEntries(const Manifest& manifest) {
    std::set<std::string> ids;
    for (const auto& entry : manifest) {
        if (entry.first == kVersionKey) {
            continue;
        }
        for (const char* suffix : {kRadioVersionSuffix, kRadioDigestSuffix}) {
            if (endsWith(entry.first, suffix)) {
                (void)ids.insert(entry.first.substr(0, entry.first.size() - std::strlen(suffix)));
            }
        }
    }
    std::vector<Verdict> verdicts;
    for (const std::string& id : ids) {
        const auto version = manifest.find(id + kRadioVersionSuffix);
        const auto digest = manifest.find(id + kRadioDigestSuffix);
        Verdict v = verdict(Finding::None, Outcome::Pass, id,
                            version == manifest.end() ? "" : version->second,
                            digest == manifest.end() ? "" : digest->second);
        if (version == manifest.end() || version->second.empty()) {
            v.finding = Finding::RadioVersionMissing;
        } else if (digest == manifest.end()) {
            v.finding = Finding::RadioDigestMissing;
        } else if (!isDigestText(digest->second)) {
            v.finding = Finding::RadioDigestMalformed;
        }
        v.outcome = v.finding == Finding::None ? Outcome::Pass : Outcome::Warn;
        verdicts.push_back(std::move(v));
    }
    return verdicts;
}

Verdict checkProductSupported(const std::optional<std::string>& product) {
    if (product && !takesPackages(*product)) {
        return verdict(Finding::ProductNotSupported, Outcome::Refuse, *product);
    }
    return verdict(Finding::None, Outcome::Pass, product.value_or(""));
}

Verdict checkEntry(const EntryFacts& facts) {
    const std::string& name = facts.entry.name;
    Verdict result = verdict(Finding::None, Outcome::Refuse, name, facts.entry.digest,
                             facts.content ? facts.content->digest : std::string());
    result.content = facts.content;
    switch (facts.acceptance.verdict) {
        case EntryVerdict::Accepted:
            break;
        case EntryVerdict::BadName:
            result.finding = Finding::EntryBadName;
            return result;
        case EntryVerdict::ListItself:
            result.finding = Finding::EntryListItself;
            return result;
        case EntryVerdict::PackageFile:
            result.finding = Finding::EntryPackageFile;
            return result;
        case EntryVerdict::Missing:
            result.finding = Finding::EntryMissing;
            return result;
        case EntryVerdict::NotRegular:
            result.finding = Finding::EntryNotRegular;
            return result;
        case EntryVerdict::Unreadable:
            result.finding = Finding::EntryUnreadable;
            return result;
    }
    if (facts.listedBefore) {
        result.finding = Finding::EntryListedTwice;
    } else if (!isDigestText(facts.entry.digest)) {
        result.finding = Finding::EntryDigestMalformed;
    } else if (facts.content && facts.content->digest != facts.entry.digest) {
        result.finding = Finding::EntryDigestMismatch;
    } else if (facts.content && classifyImage(name) == ImageClass::UbootImage &&
               !facts.content->ubootHeader) {
        result.finding = Finding::EntryNoUbootHeader;
    } else {
        result.outcome = Outcome::Pass;
    }
    return result;
}

std::vector<Verdict> checkDigestList(const ListFacts& facts,
                                     const std::optional<Statement>& statement) {
    switch (facts.kind) {
        case EntryKind::Absent:
            return one(verdict(Finding::ListMissing, Outcome::Refuse, kDigestListName));
        case EntryKind::Other:
            return one(verdict(Finding::ListNotRegular, Outcome::Refuse, kDigestListName));
        case EntryKind::Regular:
            break;
    }
    if (facts.plain) {
        Verdict stored = checkSignedFile(statement, kDigestListName, facts.plain->storedSha256,
                                         facts.plain->storedSize);
        if (stored.outcome == Outcome::Refuse) {
            return one(std::move(stored));
        }
    }
    if (!facts.plain || !facts.plain->listText) {
        return one(verdict(Finding::ListNotText, Outcome::Refuse, kDigestListName));
    }
    std::vector<Verdict> verdicts;
    for (const EntryFacts& entry : facts.entries) {
        Verdict stored =
            entry.content ? checkSignedFile(statement, entry.entry.name,
                                            entry.content->storedSha256, entry.content->storedSize)
                          : Verdict{};
        verdicts.push_back(stored.outcome == Outcome::Refuse ? std::move(stored)
                                                             : checkEntry(entry));
    }
    if (facts.end == DigestListReader::Next::MissingName) {
        verdicts.push_back(
            verdict(Finding::ListMissingName, Outcome::Refuse, kDigestListName, facts.loneDigest));
    } else if (facts.end == DigestListReader::Next::ReadError) {
        verdicts.push_back(verdict(Finding::ListReadError, Outcome::Refuse, kDigestListName));
    }
    return verdicts;
}

std::vector<Verdict> checkSignature(const PackageFacts& facts) {
    if (facts.trustDir.empty()) {
        return {};
    }
    return checkSignature(loadTrustAnchors(facts.trustDir), facts);
}

std::vector<Verdict> checkSignature(const TrustAnchors& anchors, const PackageFacts& facts) {
    std::vector<Verdict> verdicts;
    if (!anchors.enforced) {
        return verdicts;
    }
    for (const SkippedKey& skipped : anchors.skipped) {
        verdicts.push_back(
            verdict(Finding::TrustedKeySkipped, Outcome::Warn, skipped.path, describe(skipped)));
    }
    const auto refuse = [&verdicts](const std::string& subject, const std::string& words) {
        verdicts.push_back(verdict(Finding::SignatureRefused, Outcome::Refuse, subject, words));
        return verdicts;
    };
    const SignatureCheck check = checkPackageSignature(anchors, facts.dir);
    if (check.state != SignatureState::Verified) {
        return refuse(kSignatureName, describe(check, anchors));
    }
    const Statement& statement = check.reading.statement;
    // The statement bounds the manifest: one byte more than it lists is enough to refuse.
    const std::string manifestPath =
        facts.manifestCopy.empty() ? facts.dir + "/" + kManifestName : facts.manifestCopy;
    std::string manifest;
    int error =
        readUpTo(manifestPath,
                 static_cast<size_t>(
                     std::min<uint64_t>(statement.find(kManifestName)->size, kManifestMax) + 1),
                 manifest);
    if (error != 0) {
        return refuse(kStatementName, "cannot read " + manifestPath + ": " + std::strerror(error));
    }
    // The running firmware's manifest is the system's own; without one the epoch is 0.
    std::string running;
    if (!facts.runningManifest.empty()) {
        error = readUpTo(facts.runningManifest, kStatementMaxSize, running);
        if (error != 0 && error != ENOENT) {
            return refuse(kStatementName,
                          "cannot read " + facts.runningManifest + ": " + std::strerror(error));
        }
    }
    const ManifestCheck agreement = checkStatementAgainstManifest(statement, manifest, running);
    if (agreement.agreement != ManifestAgreement::Agrees) {
        return refuse(kStatementName, describe(agreement));
    }
    Verdict verified = verdict(Finding::None, Outcome::Pass, check.key.path, check.key.fingerprint);
    verified.wanted = "Package " + describe(check, anchors);
    verified.statement = statement;
    verdicts.push_back(std::move(verified));
    // A listed file that is missing refuses the package before its script runs.
    for (const StatementFile& file : statement.files) {
        if (file.name != kManifestName &&
            entryKindOf(facts.dir + "/" + file.name) != EntryKind::Regular) {
            return refuse(file.name, describe(FileAgreement::Missing, statement, file.name, 0));
        }
    }
    return verdicts;
}

Verdict checkSignedFile(const std::optional<Statement>& statement, const std::string& name,
                        const std::string& sha256, uint64_t size) {
    const FileAgreement agreement =
        statement ? checkListedFile(*statement, name, sha256, size) : FileAgreement::Agrees;
    if (agreement == FileAgreement::Agrees) {
        return verdict(Finding::None, Outcome::Pass, name);
    }
    return verdict(Finding::SignatureRefused, Outcome::Refuse, name,
                   describe(agreement, *statement, name, size));
}

const std::vector<Rule>& packageRules() {
    static const std::vector<Rule> rules = {
        {"manifest-readable", Needs::ManifestFile,
         [](const PackageFacts& f) { return one(checkManifestFile(f.manifestKind)); }},
        {"package-signature", Needs::ManifestFile, checkSignature},
        {"product-type", Needs::Manifest,
         [](const PackageFacts& f) { return one(checkProductType(f.manifest, f.product)); }},
        {"version-present", Needs::Manifest,
         [](const PackageFacts& f) { return one(checkVersion(f.manifest)); }},
        {"pre-install-script", Needs::Script,
         [](const PackageFacts& f) {
             // Held to the statement on the bytes read before anything else of it counts.
             if (f.script) {
                 Verdict stored = checkSignedFile(f.statement, kInitScriptName,
                                                  f.script->storedSha256, f.script->storedSize);
                 if (stored.outcome == Outcome::Refuse) {
                     return one(std::move(stored));
                 }
             }
             return one(checkScript(f.manifest, f.scriptKind, f.script));
         }},
        {"radio-entries", Needs::Manifest,
         [](const PackageFacts& f) { return checkRadioEntries(f.manifest); }},
        {"product-supported", Needs::Manifest,
         [](const PackageFacts& f) { return one(checkProductSupported(f.product)); }},
        {"digest-list", Needs::DigestList,
         [](const PackageFacts& f) { return checkDigestList(f.list, f.statement); }},
    };
    return rules;
}

}  // namespace package_format
}  // namespace KIVRA
