#include "tools/qvpack/package_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <vector>

#include "crypto/qv_encryption.h"
#include "package_format/digest_list.h"
#include "package_format/entry_acceptance.h"
#include "package_format/file_digest.h"
#include "package_format/image_classes.h"
#include "package_format/manifest_keys.h"
#include "package_format/package_rules.h"
#include "package_format/products.h"
#include "package_format/statement.h"
#include "qvsystemtools/dir_listing.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"
#include "tools/qvpack/file_util.h"
#include "tools/qvpack/manifest_text.h"
#include "tools/qvpack/pack_error.h"

namespace KIVRA {
namespace qvpack {

namespace {

using package_format::EntryVerdict;
using package_format::Finding;
using package_format::ImageClass;

// A digest list is a few lines per image; anything far larger is not one, and is not read
// into memory whole.
constexpr size_t kMaxListSize = 1 << 20;

CheckItem itemOf(const std::string& name, DigestState digest, const std::string& detail,
                 const std::string& fileClass = "") {
    CheckItem item;
    item.name = name;
    item.fileClass = fileClass;
    item.digest = digest;
    item.detail = detail;
    return item;
}

// Counts the checks and hands every item to the report.
class Reporter {
public:
    Reporter(CheckReport& report, CheckSummary& summary) : report_(report), summary_(summary) {}
    void manifest(const ManifestTable& table) { report_.manifest(table); }
    void add(CheckItem item, ItemOutcome outcome) {
        if (outcome != ItemOutcome::Note) {
            ++summary_.checks;
        }
        if (outcome == ItemOutcome::Failed) {
            ++summary_.failures;
        }
        item.outcome = outcome;
        if (item.fileClass.empty()) {
            item.fileClass = fileClassName(item.name);
        }
        report_.item(item);
    }

private:
    CheckReport& report_;
    CheckSummary& summary_;
};

// One package file read once to its end: decrypted or as it is, scanned, and written in plain
// form only where the caller asked for it.
struct StreamResult {
    package_format::ContentFacts facts;
    std::string content;  // the whole plain form, when asked for (the manifest, the list)
};

StreamResult streamFile(QvEncryption& crypto, const std::string& source, bool encrypted,
                        const std::string& plainPath, bool keepContent) {
    // O_NOFOLLOW and O_NONBLOCK: the entry was accepted as a regular file, but it may have
    // been replaced since; a link or a FIFO swapped in must neither be followed nor block.
    qvsystemtools::UniqueFd in(
        ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    if (!in.valid() || ::fstat(in.get(), &st) != 0) {
        throw MachineFault("cannot read " + source + ": " + errnoText());
    }
    if (!S_ISREG(st.st_mode)) {
        throw PackError(source + " was replaced by something other than a regular file");
    }
    std::unique_ptr<qvsystemtools::AtomicFile> out;
    if (!plainPath.empty()) {
        out = std::make_unique<qvsystemtools::AtomicFile>(plainPath);
        // Plain images keep the bits of the package file; decrypted ones are world-readable
        // as the files the release tool writes.
        const mode_t mode = encrypted ? 0644 : (st.st_mode & 0777);
        if (!out->valid() || ::fchmod(out->fd(), mode) != 0) {
            throw MachineFault("cannot create " + plainPath + ": " + errnoText());
        }
    }
    StreamResult result;
    package_format::ContentScan scan;
    package_format::Sha256Stream stored;
    const QvEncryption::ChunkSink storedSink = [&stored](const unsigned char* data, size_t length) {
        stored.update(data, length);
        return true;
    };
    int writeError = 0;
    const QvEncryption::ChunkSink sink = [&](const unsigned char* data, size_t length) {
        scan.update(data, length);
        if (keepContent) {
            if (result.content.size() + length > kMaxListSize) {
                writeError = EFBIG;
                return false;
            }
            result.content.append(reinterpret_cast<const char*>(data), length);
        }
        if (out && !qvsystemtools::writeAllFd(out->fd(), data, length)) {
            writeError = errno;
            return false;
        }
        return true;
    };
    int status = 0;
    if (encrypted) {
        errno = 0;
        status = crypto.decryptToSink(in.get(), sink, storedSink);
    } else {
        alignas(16) unsigned char buffer[qvsystemtools::kTransferUnit];
        for (;;) {
            const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
            if (n == 0) {
                break;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 || !storedSink(buffer, static_cast<size_t>(n)) ||
                !sink(buffer, static_cast<size_t>(n))) {
                status = -1;
                break;
            }
        }
    }
    if (status != 0) {
        if (writeError == EFBIG) {
            throw PackError(source + " is larger than any digest list or script (" +
                            std::to_string(kMaxListSize) + " bytes at most)");
        }
        if (writeError != 0) {
            throw MachineFault("cannot write " + plainPath + ": " + std::strerror(writeError));
        }
        throw MachineFault("cannot read " + source + ": " +
                           (errno != 0 ? errnoText() : std::string("decryption failed")));
    }
    if (out) {
        const int error = out->commit();
        if (error != 0) {
            throw MachineFault("cannot write " + plainPath + ": " + std::strerror(error));
        }
    }
    result.facts = scan.finish();
    result.facts.storedSize = stored.size();
    result.facts.storedSha256 = stored.finish();
    return result;
}

// Gathers the facts each rule of the rulebook needs, as the check reaches it: every file is
// read once, and only when a rule looks at it.
class FactGatherer {
public:
    FactGatherer(const std::string& pkgDir, const CheckOptions& options, Reporter& report)
        : pkgDir_(pkgDir), options_(options), report_(report) {
        facts.dir = pkgDir;
        facts.trustDir = options.trustDir;
        facts.runningManifest = options.runningManifest;
        if (!options.product.empty()) {
            facts.product = options.product;
        }
    }

    void gather(package_format::Needs needs) {
        using package_format::Needs;
        if (needs == Needs::ManifestFile) {
            facts.manifestKind = package_format::entryKindOf(path(package_format::kManifestName));
            return;
        }
        if (!manifestRead_) {
            QvEncryption none;
            const StreamResult read = streamFile(none, path(package_format::kManifestName), false,
                                                 plainPath(package_format::kManifestName), true);
            facts.manifest = parseManifest(read.content);
            manifestRead_ = true;
            report_.manifest(facts.manifest);
        }
        if (needs == Needs::Script && !scriptRead_) {
            readScript();
        }
        if (needs == Needs::DigestList && !listRead_) {
            readList();
        }
    }

    std::string path(const std::string& name) const { return pkgDir_ + "/" + name; }

    package_format::PackageFacts facts;
    std::set<std::string> listed;  // every name the digest list gives

private:
    std::string plainPath(const std::string& name) const {
        return options_.plainDir.empty() ? std::string() : options_.plainDir + "/" + name;
    }

    // The key comes from KIVRA_VERSION, which the rules before the script require.
    QvEncryption& crypto() {
        if (!keyed_) {
            if (crypto_.setKey(facts.manifest.at(package_format::kVersionKey)) != 0) {
                throw MachineFault("cannot derive the package key");
            }
            keyed_ = true;
        }
        return crypto_;
    }

    void readScript() {
        scriptRead_ = true;
        facts.scriptKind = package_format::entryKindOf(path(package_format::kInitScriptName));
        if (facts.scriptKind == package_format::EntryKind::Regular) {
            facts.script = streamFile(crypto(), path(package_format::kInitScriptName), true,
                                      plainPath(package_format::kInitScriptName), false)
                               .facts;
        }
    }

    // Every entry of the list, read by the installer's own reader, so both take the same
    // entries from the same text; a file is read only when its entry passes without it.
    void readList() {
        listRead_ = true;
        package_format::ListFacts& list = facts.list;
        list.kind = package_format::entryKindOf(path(package_format::kDigestListName));
        if (list.kind != package_format::EntryKind::Regular) {
            return;
        }
        const StreamResult plain = streamFile(crypto(), path(package_format::kDigestListName), true,
                                              plainPath(package_format::kDigestListName), true);
        list.plain = plain.facts;
        if (!plain.facts.listText) {
            return;
        }
        std::istringstream text(plain.content);
        package_format::DigestListReader reader(text);
        package_format::EntryFacts entry;
        for (;;) {
            list.end = reader.next(entry.entry);
            if (list.end == package_format::DigestListReader::Next::MissingName) {
                list.loneDigest = entry.entry.digest;
            }
            if (list.end != package_format::DigestListReader::Next::Entry) {
                break;
            }
            entry.acceptance = package_format::acceptEntry(pkgDir_, entry.entry.name);
            if (entry.acceptance.verdict == EntryVerdict::Unreadable) {
                throw MachineFault("cannot examine " + path(entry.entry.name) + ": " +
                                   std::strerror(entry.acceptance.error));
            }
            entry.listedBefore = !listed.insert(entry.entry.name).second;
            entry.content.reset();
            if (package_format::checkEntry(entry).outcome == package_format::Outcome::Pass) {
                entry.content =
                    streamFile(crypto(), path(entry.entry.name),
                               package_format::isEncryptedClass(entry.acceptance.imageClass),
                               plainPath(entry.entry.name), false)
                        .facts;
            }
            list.entries.push_back(entry);
        }
    }

    const std::string& pkgDir_;
    const CheckOptions& options_;
    Reporter& report_;
    QvEncryption crypto_;
    bool keyed_ = false;
    bool manifestRead_ = false;
    bool scriptRead_ = false;
    bool listRead_ = false;
};

const char* const kRadioGoesOn =
    "; the installer cannot compare the radio-module image and goes on (exit 0, or 2 when the "
    "versions differ)";

std::string entryReason(Finding finding) {
    switch (finding) {
        case Finding::EntryBadName:
            return "not a plain file name of the package directory";
        case Finding::EntryListItself:
        case Finding::EntryPackageFile:
            return "the name belongs to the package itself";
        case Finding::EntryMissing:
            return "missing from the package";
        case Finding::EntryNotRegular:
            return "not a regular file (a link, a directory, a FIFO or a device node); the "
                   "installer refuses the package before staging anything";
        case Finding::EntryUnreadable:
            return "cannot be examined";
        case Finding::EntryListedTwice:
            return "listed twice";
        case Finding::EntryDigestMalformed:
            return "digest is not 32 lower-case hexadecimal digits";
        default:
            return "";
    }
}

// qvpack's side of the rulebook: each verdict becomes an item of the report in the words of
// the installer where it has any, or ends the check where the installer would stop reading
// the package.
class VerdictReport {
public:
    VerdictReport(FactGatherer& facts, Reporter& report) : facts_(facts), report_(report) {}

    // False when the check ends here.
    bool add(const package_format::Verdict& v) {
        CheckItem item = itemOf(v.subject, DigestState::None, "");
        if (v.content) {
            item.sized = true;
            item.size = v.content->size;
            item.actual = v.content->digest;
        }
        switch (v.finding) {
            case Finding::None:
                return pass(v, item);
            case Finding::ManifestMissing:
                throw PackError(facts_.path(v.subject) +
                                " is missing: the installer refuses the package");
            case Finding::ManifestNotRegular:
                throw PackError(facts_.path(v.subject) +
                                " is not a regular file: the installer refuses the package");
            case Finding::ProductTypeMissing:
                return failed(item, "PRODUCT_TYPE not found in manifest");
            case Finding::UnknownProduct:
                item.name = package_format::kManifestName;
                return failed(item, "Unknown Product Name " + v.subject);
            case Finding::TypeOfNoProduct: {
                const std::string typeOfName = package_format::productTypeOf(v.found);
                return failed(
                    item, "PRODUCT_TYPE " + v.found + " is the type of no product" +
                              (typeOfName.empty()
                                   ? std::string()
                                   : "; " + v.found + " is a product name, of type " + typeOfName) +
                              " (types: " + package_format::productTypeList() + ")");
            }
            case Finding::ProductTypeMismatch:
                item.name = package_format::kManifestName;
                return failed(item, "Manifest product type " + v.found +
                                        " mismatches device product type " + v.wanted +
                                        " (product " + v.subject + ")");
            case Finding::VersionMissing:
                throw PackError(facts_.path(v.subject) +
                                " has no KIVRA_VERSION: the installer stops at its manifest check");
            case Finding::NoScript:
                return true;
            case Finding::ScriptNotRegular:
                return warned(item,
                              "not a regular file; the installer does not run it and goes on");
            case Finding::ScriptUndecryptable:
                return warned(item,
                              "cannot be decrypted; the installer does not run it and goes on");
            case Finding::ScriptDigestMalformed:
                item.expected = v.found;
                return failed(item, std::string(package_format::kInitScriptDigestKey) +
                                        " is not 32 lower-case hexadecimal digits; the "
                                        "installer refuses the package before running it");
            case Finding::ScriptDigestMismatch:
                item.expected = v.found;
                item.digest = DigestState::Mismatch;
                return failed(
                    item, std::string("MD5 mismatch with ") + package_format::kInitScriptDigestKey);
            case Finding::ScriptNotText:
                item.expected = v.found;
                item.digest = v.found.empty() ? DigestState::None : DigestState::Match;
                return warned(item,
                              "does not decrypt to a shell script (damaged, or a wrong "
                              "KIVRA_VERSION); the installer runs it with /bin/sh, logs its "
                              "failure and goes on");
            case Finding::ScriptUncovered:
                return ok(item, std::string("decrypted to text; no digest covers it (no ") +
                                    package_format::kInitScriptDigestKey + " in the manifest)");
            case Finding::RadioVersionMissing:
                return radio(
                    v, item,
                    v.subject + package_format::kRadioVersionSuffix + " is missing or empty");
            case Finding::RadioDigestMissing:
                return radio(v, item,
                             v.subject + package_format::kRadioDigestSuffix + " is missing");
            case Finding::RadioDigestMalformed:
                return radio(v, item,
                             v.subject + package_format::kRadioDigestSuffix +
                                 " is not 32 lower-case hexadecimal digits");
            case Finding::TrustedKeySkipped:
                item.fileClass = "trusted-key";
                return warned(item, v.found);
            case Finding::SignatureRefused:
                // A package file the statement does not vouch for keeps its own class.
                if (v.subject == package_format::kSignatureName ||
                    v.subject == package_format::kStatementName) {
                    item.fileClass = "signature";
                }
                return failed(item, v.found + " (\"Package signature check failed\", err 19)");
            case Finding::ProductNotSupported:
                item.name = package_format::kManifestName;
                return failed(item, "Product not supported: the installer takes no package on a " +
                                        v.subject + " (\"Upgrade check failed\", err 18)");
            case Finding::ListMissing:
                throw PackError(facts_.path(v.subject) +
                                " is missing: without its digest list the installer refuses the "
                                "package (\"Unable to decrypt images.md5\")");
            case Finding::ListNotRegular:
                throw PackError(facts_.path(v.subject) +
                                " is not a regular file: the installer refuses the package "
                                "(\"Unable to decrypt images.md5\")");
            case Finding::ListNotText:
                // A wrong passphrase gives random bytes; their "names" would only garble the
                // report.
                (void)failed(item, "does not decrypt to a digest list; wrong KIVRA_VERSION?");
                return false;
            case Finding::ListMissingName:
                return failed(item, "digest " + v.found + " has no file name");
            case Finding::ListReadError:
                return failed(item, "cannot be read to its end");
            case Finding::EntryBadName:
            case Finding::EntryListItself:
            case Finding::EntryPackageFile:
            case Finding::EntryMissing:
            case Finding::EntryNotRegular:
            case Finding::EntryUnreadable:
            case Finding::EntryListedTwice:
            case Finding::EntryDigestMalformed:
                item.digest = DigestState::Unchecked;
                if (v.finding != Finding::EntryListedTwice) {
                    item.expected = v.found;
                }
                return failed(item, entryReason(v.finding));
            case Finding::EntryDigestMismatch:
                item.expected = v.found;
                item.digest = DigestState::Mismatch;
                return failed(item, "MD5 mismatch");
            case Finding::EntryNoUbootHeader:
                item.expected = v.found;
                item.digest = DigestState::Match;
                return failed(item, "no U-Boot header 27 05 19 56 after decryption");
        }
        return true;
    }

private:
    bool pass(const package_format::Verdict& v, CheckItem& item) {
        switch (rule_) {
            case Rule::ProductType:
                productType_ = v.found;
                return true;
            case Rule::Version:
                if (!productType_.empty()) {
                    return ok(item, "PRODUCT_TYPE=" + productType_ + ", KIVRA_VERSION=" + v.found);
                }
                return true;
            case Rule::Script:
                item.expected = v.found;
                item.digest = DigestState::Match;
                return ok(item, "");
            case Rule::Radio:
                item.fileClass = "radio-entry";
                item.expected = v.wanted;
                return ok(item, "version " + v.found);
            case Rule::DigestList:
                item.expected = v.found;
                item.digest = DigestState::Match;
                return ok(item, "");
            case Rule::Signature:
                item.name = package_format::kSignatureName;
                item.fileClass = "signature";
                item.expected = v.found;
                item.digest = DigestState::Match;
                return ok(item, v.wanted);
            case Rule::Other:
                return true;
        }
        return true;
    }
    bool radio(const package_format::Verdict& v, CheckItem& item, const std::string& what) {
        item.fileClass = "radio-entry";
        item.expected = v.wanted;
        return warned(item, what + kRadioGoesOn);
    }
    bool ok(CheckItem& item, const std::string& detail) {
        item.detail = detail;
        report_.add(item, ItemOutcome::Ok);
        return true;
    }
    bool warned(CheckItem& item, const std::string& detail) {
        item.detail = detail;
        report_.add(item, ItemOutcome::Warning);
        return true;
    }
    bool failed(CheckItem& item, const std::string& detail) {
        item.detail = detail;
        report_.add(item, ItemOutcome::Failed);
        return true;
    }

public:
    // Which rule the next verdicts come from, for the words of a pass.
    enum class Rule { ProductType, Version, Script, Radio, DigestList, Signature, Other };
    void from(const std::string& name) {
        rule_ = name == "product-type"         ? Rule::ProductType
                : name == "version-present"    ? Rule::Version
                : name == "pre-install-script" ? Rule::Script
                : name == "radio-entries"      ? Rule::Radio
                : name == "digest-list"        ? Rule::DigestList
                : name == "package-signature"  ? Rule::Signature
                                               : Rule::Other;
    }

private:
    FactGatherer& facts_;
    Reporter& report_;
    Rule rule_ = Rule::Other;
    std::string productType_;
};

}  // namespace

void TextReport::manifest(const ManifestTable& /*table*/) {
    // The text report names the two keys the installer needs on the manifest's own line.
}

void TextReport::item(const CheckItem& item) {
    std::string facts;
    if (item.sized) {
        facts = std::to_string(item.size) + " bytes, ";
        if (item.digest == DigestState::Mismatch) {
            facts += "expected md5 " + item.expected + ", actual " + item.actual;
        } else {
            facts += "md5 " + item.actual;
        }
    }
    const auto joined = [&](const std::string& text) {
        if (facts.empty() || text.empty()) {
            return facts + text;
        }
        return text + "; " + facts;
    };
    switch (item.outcome) {
        case ItemOutcome::Ok: {
            const std::string detail = joined(item.detail);
            out_ << item.name << ": OK" << (detail.empty() ? "" : " (" + detail + ")") << "\n";
            return;
        }
        case ItemOutcome::Failed:
            out_ << item.name << ": FAILED (" << joined(item.detail) << ")\n";
            return;
        case ItemOutcome::Warning:
            out_ << item.name << ": WARNING (" << joined(item.detail) << ")\n";
            return;
        case ItemOutcome::Note:
            out_ << item.name << ": " << item.detail << "\n";
            return;
    }
}

std::string fileClassName(const std::string& name) {
    if (name == package_format::kManifestName) {
        return "manifest";
    }
    if (name == package_format::kDigestListName) {
        return "digest-list";
    }
    if (name == package_format::kInitScriptName) {
        return "init-script";
    }
    switch (package_format::classifyImage(name)) {
        case ImageClass::InstallerProgram:
            return "installer-program";
        case ImageClass::NtimFile:
            return "ntim";
        case ImageClass::UbootImage:
            return "uboot-image";
        case ImageClass::PlainImage:
            return "plain-image";
        case ImageClass::OtherFile:
            return "other";
    }
    return "other";
}

namespace {

// A note for each package file the list does not name, in name order. The statement and its
// signature are the package's own; checked, the signature item speaks for them.
void noteUnlisted(const std::string& pkgDir, const std::set<std::string>& listed,
                  const CheckOptions& options, Reporter& report) {
    std::vector<std::string> names;
    std::string error;
    if (!qvsystemtools::listNames(pkgDir, names, error)) {
        throw MachineFault(error);
    }
    std::vector<std::string> unlisted;
    for (const std::string& name : names) {
        const bool signature =
            name == package_format::kStatementName || name == package_format::kSignatureName;
        if (signature && options.trustDir.empty()) {
            report.add(itemOf(name, DigestState::None,
                              "signature file; a router with trusted keys checks it "
                              "(--trusted-keys)"),
                       ItemOutcome::Note);
        } else if (!signature && !package_format::isReservedName(name) && listed.count(name) == 0) {
            unlisted.push_back(name);
        }
    }
    for (const std::string& file : unlisted) {
        report.add(itemOf(file, DigestState::None,
                          "not in the digest list; the installer leaves it alone"),
                   ItemOutcome::Note);
    }
}

}  // namespace

CheckSummary checkPackage(const std::string& pkgDir, const CheckOptions& options,
                          CheckReport& out) {
    struct stat st {};
    if (::stat(pkgDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw PackError(pkgDir + ": not a directory");
    }
    CheckSummary summary;
    Reporter report(out, summary);
    FactGatherer gatherer(pkgDir, options, report);
    VerdictReport verdicts(gatherer, report);
    // The rulebook's order is the installer's, so the report reads like its log would.
    for (const package_format::Rule& rule : package_format::packageRules()) {
        gatherer.gather(rule.needs);
        verdicts.from(rule.name);
        for (const package_format::Verdict& verdict : rule.check(gatherer.facts)) {
            if (verdict.statement) {
                gatherer.facts.statement = verdict.statement;
            }
            if (!verdicts.add(verdict)) {
                return summary;
            }
        }
    }
    noteUnlisted(pkgDir, gatherer.listed, options, report);
    return summary;
}

}  // namespace qvpack
}  // namespace KIVRA
