#include "package_format/file_pass.h"

#include "qvsystemtools/file_ops.h"

namespace KIVRA {
namespace package_format {

namespace {

void feed(const std::vector<ByteSink*>& sinks, const unsigned char* data, size_t length) {
    for (ByteSink* sink : sinks) {
        sink->update(data, length);
    }
}

// A list without sinks costs the pass nothing per chunk.
QvEncryption::ChunkSink feeder(const std::vector<ByteSink*>& sinks) {
    if (sinks.empty()) {
        return {};
    }
    return [&sinks](const unsigned char* data, size_t length) {
        feed(sinks, data, length);
        return true;
    };
}

}  // namespace

int decryptInto(QvEncryption& crypto, const std::string& source, const std::string& target,
                const PassSinks& sinks) {
    return crypto.decryptFile(source, target, {feeder(sinks.stored), feeder(sinks.installed)});
}

qvsystemtools::ToolStatus copyInto(const std::string& source, const std::string& target,
                                   const PassSinks& sinks) {
    return qvsystemtools::copyFile(source, target,
                                   [&sinks](const unsigned char* data, size_t length) {
                                       feed(sinks.stored, data, length);
                                       feed(sinks.installed, data, length);
                                   });
}

}  // namespace package_format
}  // namespace KIVRA
