// Out-of-line operations of the engine's text and room records.
//
// Defaults of the records made here (readable from Python right after construction):
//   KwixString()      the empty text "" (GetValue() gives "", not null)
//   RoomParams()      sdk_app_id 0, room_id 0, user_id/user_sig/str_room_id "",
//                     custom_data and both encryption delegates null
//   EnterRoomParams() room as above, scene KWIX_SCENE_VIDEO_CALL, role KWIX_ROLE_ANCHOR,
//                     private_map_key "", audio_obtain_params as its own constructor sets them,
//                     use_pixel_frame_input and use_pixel_frame_output false
#include <cstring>
#include <new>

#include "kwix/velmora_kwix_cloud.h"

namespace velmora {
namespace kwix {
namespace {

// A KwixString's storage: a heap copy of the text, or null when it was given null.
char* CopyText(const char* text) {
    if (text == nullptr) return nullptr;
    const size_t n = std::strlen(text);
    char* copy = new char[n + 1];
    std::memcpy(copy, text, n + 1);
    return copy;
}

}  // namespace

KwixString::KwixString() : str_(CopyText("")) {}
KwixString::KwixString(const char* value) : str_(CopyText(value)) {}
KwixString::KwixString(const KwixString& other) : str_(CopyText(other.GetValue())) {}
KwixString::~KwixString() { delete[] static_cast<char*>(str_); }

KwixString& KwixString::operator=(const KwixString& other) {
    if (this != &other) SetValue(other.GetValue());
    return *this;
}

KwixString& KwixString::operator=(const char* value) {
    SetValue(value);
    return *this;
}

void KwixString::SetValue(const char* value) {
    // Copy first: value may point into this string's own storage.
    char* copy = CopyText(value);
    delete[] static_cast<char*>(str_);
    str_ = copy;
}

const char* KwixString::GetValue() const { return static_cast<const char*>(str_); }

RoomParams::RoomParams()
    : sdk_app_id(0),
      user_id(""),
      user_sig(""),
      room_id(0),
      str_room_id(""),
      custom_data(nullptr),
      decryption_delegate(nullptr),
      encryption_delegate(nullptr) {}

RoomParams::RoomParams(const RoomParams& other)
    : sdk_app_id(other.sdk_app_id),
      user_id(other.user_id),
      user_sig(other.user_sig),
      room_id(other.room_id),
      str_room_id(other.str_room_id),
      custom_data(other.custom_data),
      decryption_delegate(other.decryption_delegate),
      encryption_delegate(other.encryption_delegate) {}

RoomParams::~RoomParams() = default;

EnterRoomParams::EnterRoomParams()
    : scene(KWIX_SCENE_VIDEO_CALL),
      role(KWIX_ROLE_ANCHOR),
      private_map_key(""),
      use_pixel_frame_input(false),
      use_pixel_frame_output(false) {}

EnterRoomParams::~EnterRoomParams() = default;

EncryptionData::EncryptionData()
    : room_id(0), stream_type(STREAM_TYPE_UNKNOWN), decrypted(nullptr), encrypted(nullptr) {}
EncryptionData::~EncryptionData() = default;

DecryptionData::DecryptionData()
    : room_id(0), stream_type(STREAM_TYPE_UNKNOWN), encrypted(nullptr), decrypted(nullptr) {}
DecryptionData::~DecryptionData() = default;

KWIXVolumeInfo::KWIXVolumeInfo() : volume(0) {}

AudioVolumeEvaluateParams::AudioVolumeEvaluateParams() : interval(300) {}
AsrMessage::AsrMessage() : speakerUserId(nullptr), text(nullptr) {}
AsrParams::AsrParams() : sourceLanguage(nullptr) {}

}  // namespace kwix
}  // namespace velmora
