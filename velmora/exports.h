// The module's bound groups, one source file each, and what their registrations share.
// velmora_binding.cpp calls the export functions in the module's registration order.
#pragma once

#include <pybind11/pybind11.h>

#include "class_casters.h"
#include "text_caster.h"

namespace velmora::binding {

void export_session(pybind11::module_& m);      // session.cpp: KWIXCloud
void export_delegate(pybind11::module_& m);     // delegate.cpp: KWIXCloudDelegate
void export_records(pybind11::module_& m);      // records.cpp: KwixString and the parameter records
void export_frames(pybind11::module_& m);       // frames.cpp: AudioFrame, VideoFrame, PixelFrame
void export_enumerations(pybind11::module_& m); // enumerations.cpp: the eleven enumerations
void export_settings(pybind11::module_& m);     // settings.cpp: the engine's process-wide settings

// An enumeration field read as a new member holding the current value. A plain
// def_readwrite would hand out a view of the field, so a value read earlier would change
// when the field is set later.
template <typename Class, typename Enum, typename... Options>
void DefEnumField(pybind11::class_<Class, Options...>& cls, const char* name, Enum Class::*field) {
    cls.def_property(
        name, [field](const Class& self) { return self.*field; },
        [field](Class& self, Enum value) { self.*field = value; });
}

}  // namespace velmora::binding
