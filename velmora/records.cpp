// KwixString and the parameter records.
#include "exports.h"

#include <stdexcept>
#include <string>

#include "secrets.h"

namespace py = pybind11;
using namespace velmora::kwix;

namespace velmora::binding {

namespace {

// The value text as an owned string, refusing a null value with the message the standard
// library gives for it, so the error reads the same whatever the library version.
std::string OwnedValue(const KwixString& s) {
    const char* value = s.GetValue();
    if (value == nullptr) throw std::runtime_error("basic_string: construction from null is not valid");
    return value;
}

}  // namespace

void export_records(py::module_& m) {
    py::class_<KwixString>(m, "KwixString")
        .def(py::init<>())
        .def(py::init([](const Text& value) { return new KwixString(value.c_str("value")); }))
        .def("GetValue", [](const KwixString& self) { return Text{self.GetValue()}; })
        .def("SetValue", [](KwixString& self, const Text& value) { self.SetValue(value.c_str("value")); })
        .def("__str__", [](const KwixString& self) { return OwnedValue(self); })
        .def("__repr__", [](const KwixString& self) { return "KwixString(" + OwnedValue(self) + ")"; });

    py::class_<RoomParams>(m, "RoomParams")
        .def(py::init<>())
        .def_readwrite("room_id", &RoomParams::room_id)
        .def_readwrite("str_room_id", &RoomParams::str_room_id)
        .def_readwrite("user_id", &RoomParams::user_id)
        .def_readwrite("user_sig", &RoomParams::user_sig)
        .def_readwrite("sdk_app_id", &RoomParams::sdk_app_id);
    HideSecretInTypeErrors<kSetterValue>(m.attr("RoomParams").attr("user_sig").attr("fset"));

    py::class_<EnterRoomParams> enter_room(m, "EnterRoomParams");
    enter_room.def(py::init<>()).def_readwrite("room", &EnterRoomParams::room);
    DefEnumField(enter_room, "scene", &EnterRoomParams::scene);
    DefEnumField(enter_room, "role", &EnterRoomParams::role);
    enter_room.def_readwrite("private_map_key", &EnterRoomParams::private_map_key)
        .def_readwrite("audio_obtain_params", &EnterRoomParams::audio_obtain_params)
        .def_readwrite("use_pixel_frame_input", &EnterRoomParams::use_pixel_frame_input)
        .def_readwrite("use_pixel_frame_output", &EnterRoomParams::use_pixel_frame_output);
    // The private map key grants entry to a locked room: as secret as the user signature.
    HideSecretInTypeErrors<kSetterValue>(enter_room.attr("private_map_key").attr("fset"));

    py::class_<AudioEncodeParams>(m, "AudioEncodeParams")
        .def(py::init<>())
        .def_readwrite("channels", &AudioEncodeParams::channels)
        .def_readwrite("sample_rate", &AudioEncodeParams::sample_rate)
        .def_readwrite("frame_length_ms", &AudioEncodeParams::frame_length_ms)
        .def_readwrite("bitrate_bps", &AudioEncodeParams::bitrate_bps)
        .def_readwrite("need_encode", &AudioEncodeParams::need_encode);

    py::class_<VideoEncodeParams>(m, "VideoEncodeParams")
        .def(py::init<>())
        .def_readwrite("frame_rate", &VideoEncodeParams::frame_rate)
        .def_readwrite("bitrate_bps", &VideoEncodeParams::bitrate_bps)
        .def_readwrite("gop_in_seconds", &VideoEncodeParams::gop_in_seconds);

    py::class_<NetworkQualityInfo> quality(m, "NetworkQualityInfo");
    quality.def(py::init<>()).def_readwrite("user_id", &NetworkQualityInfo::user_id);
    DefEnumField(quality, "quality", &NetworkQualityInfo::quality);

    py::class_<UserInfo>(m, "UserInfo").def(py::init<>()).def_readwrite("user_id", &UserInfo::user_id);

    py::class_<AudioObtainParams> obtain(m, "AudioObtainParams");
    obtain.def(py::init<>());
    DefEnumField(obtain, "audio_obtain_method", &AudioObtainParams::audio_obtain_method);
    obtain.def_readwrite("enable_remote_audio_mix", &AudioObtainParams::enable_remote_audio_mix)
        .def_readwrite("output_sample_rate", &AudioObtainParams::output_sample_rate)
        .def_readwrite("output_channels", &AudioObtainParams::output_channels)
        .def_readwrite("output_frame_length_ms", &AudioObtainParams::output_frame_length_ms);
    DefEnumField(obtain, "output_audio_codec_type", &AudioObtainParams::output_audio_codec_type);

    py::class_<VADParams>(m, "VADParams").def(py::init<>()).def_readwrite("enable", &VADParams::enable);
}

}  // namespace velmora::binding
