// The caster every class of the module loads through.
//
// An object made with `Cls.__new__(Cls)` never ran __init__, so it holds no C++ value; the
// binding library would hand its methods freshly allocated, unconstructed memory. This caster
// refuses such an object with a TypeError. Every source file that binds or casts one of these
// classes must see the specializations below, so each includes this header (through
// exports.h) before anything else of the module.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "kwix/velmora_kwix_cloud.h"
#include "kwix/velmora_kwix_defines.h"

class KWIXCloudWrapper;

namespace pybind11 {
namespace detail {

template <typename T>
class initialized_only_caster : public type_caster_base<T> {
public:
    bool load(handle src, bool convert) {
        return this->template load_impl<initialized_only_caster<T>>(src, convert);
    }

    void load_value(value_and_holder&& v_h) {
        if (v_h.value_ptr() == nullptr) {
            const std::string name = Py_TYPE(v_h.inst)->tp_name;
            throw type_error(name + " object was never initialized: its __init__ did not run (make it with " +
                             name + "(...), not with __new__)");
        }
        type_caster_base<T>::load_value(std::move(v_h));
    }
};

#define VELMORA_INITIALIZED_ONLY(T) \
    template <>                      \
    class type_caster<T> : public initialized_only_caster<T> {}

VELMORA_INITIALIZED_ONLY(KWIXCloudWrapper);
VELMORA_INITIALIZED_ONLY(velmora::kwix::KWIXCloudDelegate);
VELMORA_INITIALIZED_ONLY(velmora::kwix::KwixString);
VELMORA_INITIALIZED_ONLY(velmora::kwix::RoomParams);
VELMORA_INITIALIZED_ONLY(velmora::kwix::EnterRoomParams);
VELMORA_INITIALIZED_ONLY(velmora::kwix::AudioEncodeParams);
VELMORA_INITIALIZED_ONLY(velmora::kwix::VideoEncodeParams);
VELMORA_INITIALIZED_ONLY(velmora::kwix::NetworkQualityInfo);
VELMORA_INITIALIZED_ONLY(velmora::kwix::UserInfo);
VELMORA_INITIALIZED_ONLY(velmora::kwix::AudioObtainParams);
VELMORA_INITIALIZED_ONLY(velmora::kwix::VADParams);
VELMORA_INITIALIZED_ONLY(velmora::kwix::AudioFrame);
VELMORA_INITIALIZED_ONLY(velmora::kwix::VideoFrame);
VELMORA_INITIALIZED_ONLY(velmora::kwix::PixelFrame);

#undef VELMORA_INITIALIZED_ONLY

}  // namespace detail
}  // namespace pybind11
