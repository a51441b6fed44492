#pragma once
// The rulebook: what a package must be, as one ordered list of named rules. A rule looks at
// facts its caller gathered and gives verdicts; it writes nothing and logs nothing. The
// installer turns each verdict into its error code and log line, qvpack's check into its
// report: both read the package through these rules, so they cannot disagree on what passes.
// The list is in the order the installer applies the rules.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "package_format/digest_list.h"
#include "package_format/entry_acceptance.h"
#include "package_format/signature.h"
#include "package_format/statement.h"

namespace KIVRA {
namespace package_format {

using Manifest = std::map<std::string, std::string>;

enum class Outcome {
    Pass,
    Warn,    // the installer goes on by design; the reader should know what it will do
    Refuse,  // the installer refuses the package
};

// Why a rule gave its verdict; None for a plain pass.
enum class Finding {
    None,
    ManifestMissing,
    ManifestNotRegular,
    TrustedKeySkipped,  // warn: found is the router's line naming the key file and why
    SignatureRefused,   // refuse: found is the router's words (no signature, signed by no ...,
                        // or a file the statement does not vouch for, subject: that file)
    ProductTypeMissing,
    UnknownProduct,       // the device's product name is in no product type
    TypeOfNoProduct,      // no device given: PRODUCT_TYPE is the type of no product
    ProductTypeMismatch,  // found: the package's type, wanted: the device's
    VersionMissing,
    NoScript,               // the package has no init.sh: nothing runs
    ScriptNotRegular,       // warn: not run
    ScriptUndecryptable,    // warn: not run
    ScriptDigestMalformed,  // refuse: found is INIT_SH_DIGEST
    ScriptDigestMismatch,   // refuse: found is INIT_SH_DIGEST, wanted the plain script's MD5
    ScriptNotText,          // warn: no digest vouches for it, and it is no shell script
    ScriptUncovered,        // pass: text, but no digest covers it
    RadioVersionMissing,    // warn (the radio check never stops a run); subject: the RM identifier
    RadioDigestMissing,
    RadioDigestMalformed,
    ProductNotSupported,  // the device takes no package at all (QT10)
    ListMissing,
    ListNotRegular,
    ListNotText,      // the digest list does not decrypt to text (a wrong version)
    ListMissingName,  // found: the lone digest
    ListReadError,
    EntryBadName,
    EntryListItself,
    EntryPackageFile,
    EntryMissing,
    EntryNotRegular,
    EntryUnreadable,
    EntryListedTwice,
    EntryDigestMalformed,
    EntryDigestMismatch,  // found: the listed digest, wanted: the plain form's
    EntryNoUbootHeader,
};

// What the content of a file turned out to be, read once to its end (decrypted where it
// travels encrypted).
struct ContentFacts {
    uint64_t size = 0;
    std::string digest;        // MD5 digest text of the plain form
    bool text = true;          // no control bytes a shell script never has
    bool listText = true;      // printable ASCII and white space only, as every digest list is
    bool ubootHeader = false;  // begins with the U-Boot magic
    // The bytes as they stand in the package (encrypted where the file is), as the same read
    // took them, for the signed statement: their SHA-256 text ("" where not taken) and count.
    std::string storedSha256;
    uint64_t storedSize = 0;
};

// Builds ContentFacts from bytes handed over piece by piece.
class ContentScan {
public:
    ContentScan();
    ~ContentScan();
    ContentScan(const ContentScan&) = delete;
    ContentScan& operator=(const ContentScan&) = delete;
    void update(const unsigned char* data, size_t length);
    [[nodiscard]] ContentFacts finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// ContentFacts of the plain file at path, read once; false when it cannot be read.
[[nodiscard]] bool scanFile(const std::string& path, ContentFacts& facts);

// What stands at a name of the package directory, the entry itself examined.
enum class EntryKind { Absent, Regular, Other };
[[nodiscard]] EntryKind entryKindOf(const std::string& path);

struct EntryFacts {
    DigestListEntry entry;
    EntryAcceptance acceptance;
    bool listedBefore = false;
    std::optional<ContentFacts> content;  // not read (yet)
};

struct ListFacts {
    EntryKind kind = EntryKind::Absent;
    std::optional<ContentFacts> plain;  // the decrypted list's own content
    std::vector<EntryFacts> entries;
    DigestListReader::Next end = DigestListReader::Next::End;
    std::string loneDigest;  // for MissingName
};

// Everything a rule may look at. A caller gathers what the next rule needs (Rule::needs)
// before asking it.
struct PackageFacts {
    std::string dir;                     // the package directory, for rules that name its files
    std::optional<std::string> product;  // the device's product name; none: any product
    // The trust anchors the package is checked against, as a device holding this directory
    // checks it; "" checks no signature (a device without /etc/kivra/trusted-keys).
    std::string trustDir;
    // The manifest bytes held to the statement ("": dir's manifest.txt; the router reads its
    // own copy) and the running firmware's manifest, whose SECURITY_EPOCH bounds the
    // package's ("": none, epoch 0).
    std::string manifestCopy;
    std::string runningManifest;
    // The statement, once the signature rule verified it: every file a later rule reads is
    // held to it on its stored bytes.
    std::optional<Statement> statement;
    EntryKind manifestKind = EntryKind::Absent;
    Manifest manifest;
    EntryKind scriptKind = EntryKind::Absent;
    std::optional<ContentFacts> script;  // the plain script, when it could be decrypted
    ListFacts list;
};

struct Verdict {
    Finding finding = Finding::None;
    Outcome outcome = Outcome::Pass;
    std::string subject;                  // the file or RM identifier the verdict is about
    std::string found;                    // what the package has
    std::string wanted;                   // what the rule wanted
    std::optional<ContentFacts> content;  // the content looked at, when one was read
    std::optional<Statement> statement;   // the signature rule's pass: what it verified
};

// The facts a rule reads beyond the product: the manifest file's kind, or the manifest read
// (and, for the last two, the pre-install script or the digest list with its entries).
enum class Needs { ManifestFile, Manifest, Script, DigestList };

struct Rule {
    const char* name;
    Needs needs;
    std::vector<Verdict> (*check)(const PackageFacts& facts);
};

// The rules in the order the installer applies them.
[[nodiscard]] const std::vector<Rule>& packageRules();

// The rules one by one, for a reader that meets them at its own moments.
[[nodiscard]] Verdict checkManifestFile(EntryKind kind);
[[nodiscard]] Verdict checkProductType(const Manifest& manifest,
                                       const std::optional<std::string>& product);
[[nodiscard]] Verdict checkVersion(const Manifest& manifest);
// The statement and signature of the package in facts.dir against the trust anchors, then the
// statement against the manifest bytes and the running firmware's epoch: the skipped keys
// (Warn), then one Pass (subject: the key file, found: its SHA-256 fingerprint, wanted: the
// router's line, statement: the statement), followed by a refusal for each listed file the
// package does not hold; or one SignatureRefused. Nothing where the anchors are not enforced.
// The first form loads the anchors of facts.trustDir ("": none).
[[nodiscard]] std::vector<Verdict> checkSignature(const PackageFacts& facts);
[[nodiscard]] std::vector<Verdict> checkSignature(const TrustAnchors& anchors,
                                                  const PackageFacts& facts);
// A package file the installer reads, held to the verified statement on its stored bytes (as
// the pass that read them took them): a pass where there is no statement, else a
// SignatureRefused for a file not listed, of another size or another digest.
[[nodiscard]] Verdict checkSignedFile(const std::optional<Statement>& statement,
                                      const std::string& name, const std::string& sha256,
                                      uint64_t size);
[[nodiscard]] Verdict checkScript(const Manifest& manifest, EntryKind kind,
                                  const std::optional<ContentFacts>& plain);
[[nodiscard]] std::vector<Verdict> checkRadioEntries(const Manifest& manifest);
[[nodiscard]] Verdict checkProductSupported(const std::optional<std::string>& product);
// One entry of the digest list: its acceptance, its place in the list and, once read, its
// content. Without content a Pass means only that the content is worth reading.
[[nodiscard]] Verdict checkEntry(const EntryFacts& facts);
// The list as a whole: its file, its stored bytes against the statement, its text, every
// entry (a read entry held to the statement before its digest) and how it ended.
[[nodiscard]] std::vector<Verdict> checkDigestList(const ListFacts& facts,
                                                   const std::optional<Statement>& statement = {});

}  // namespace package_format
}  // namespace KIVRA
