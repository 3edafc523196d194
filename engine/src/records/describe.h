// Text descriptions of records, frames and texts in the control API's format
// ("name=value" items separated by spaces; texts and payloads as x<hex> or null).
#ifndef VELMORA_ENGINE_RECORDS_DESCRIBE_H
#define VELMORA_ENGINE_RECORDS_DESCRIBE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "kwix/velmora_kwix_cloud.h"

namespace velmora {
namespace loopback {

// x<hex> of the bytes, or "null" when data is null.
std::string HexText(const char* data, size_t size);
// The same for a NUL-terminated text (null allowed).
std::string HexText(const char* text);

// Items of a record, each name prefixed with `prefix` (e.g. "room."); no leading space.
std::string Describe(const kwix::RoomParams& r, const std::string& prefix = "");
std::string Describe(const kwix::EnterRoomParams& p, const std::string& prefix = "");
std::string Describe(const kwix::AudioObtainParams& p, const std::string& prefix = "");
std::string Describe(const kwix::AudioEncodeParams& p, const std::string& prefix = "");
std::string Describe(const kwix::VideoEncodeParams& p, const std::string& prefix = "");
std::string Describe(const kwix::VADParams& p, const std::string& prefix = "");
// How a frame's payload appears in its description: every byte (x<hex>), or its size and a
// digest (#<size>:<16 hex digits of PayloadDigest>). The journal uses the digest unless full
// payloads were asked for, so that a send of megabytes does not cost a hex dump of them.
enum class PayloadForm { kBytes, kDigest };

// A 64-bit digest of the bytes, fast enough to take on every send (about the cost of a copy).
uint64_t PayloadDigest(const char* data, size_t size);

// Frames: metadata, then data=<payload>; AudioFrame also extra=<extra payload>.
std::string Describe(const kwix::AudioFrame& f, PayloadForm form = PayloadForm::kBytes);
std::string Describe(const kwix::VideoFrame& f, PayloadForm form = PayloadForm::kBytes);
std::string Describe(const kwix::PixelFrame& f, PayloadForm form = PayloadForm::kBytes);

// The description of a record made by the engine's default constructor; false for a type
// other than KwixString, RoomParams, EnterRoomParams and the three frames.
bool DescribeDefault(const std::string& type, std::string* description);

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_RECORDS_DESCRIBE_H
