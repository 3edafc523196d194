// _velmora: the Python face of the Velmora engine.
//
// The module does no media or network work. It exposes the engine's enumerations, records
// and frames as Python classes, converts values between Python and the engine, forwards
// session calls into the engine and carries the engine's callbacks, which arrive on engine
// threads, into Python methods under the interpreter lock. It compiles against the engine
// headers in include/ only, so any engine library that honours them can sit beside it.
//
// The interpreter lock, as an engine sees it:
// - Every session call and every settings call keeps the interpreter lock while the engine
//   runs; so does KWIXCloud::Create.
// - Every callback into Python needs that lock. A callback on the thread that is inside a
//   session call proceeds at once; a callback on any other thread waits until the session
//   call has returned.
// - So an engine must never wait, inside a call from Python, for a callback that runs on
//   another of its threads: that wait would never end, and with it every Python thread of
//   the process would stop.
// - KWIXCloud::Destroy is the one call made with the lock released: the engine may stop its
//   threads there, and one of them may be waiting for the lock to deliver a callback.
//
// One source file per bound subject, each with its export function (exports.h):
//   text_caster.h       texts between Python and the engine's C strings
//   class_casters.h     every class refuses an object whose __init__ never ran
//   interpreter_lock.*  the interpreter lock on engine threads and at shutdown
//   module_state.*      what the module keeps per interpreter, and its exit hook
//   delegate.*          KWIXCloudDelegate and its trampoline
//   session.*           KWIXCloud
//   secrets.*           secret arguments hidden in the binding library's TypeErrors
//   records.cpp         KwixString and the parameter records
//   frames.cpp          AudioFrame, VideoFrame, PixelFrame
//   enumerations.cpp    the eleven enumerations
//   settings.cpp        the engine's process-wide settings
#include "exports.h"

// Registration order is part of the interface: a generated signature names a type by its
// Python class only when that class is already registered.
PYBIND11_MODULE(_velmora, m) {
    using namespace velmora::binding;
    m.doc() = "KWIX Velmora Python API (bind with C++ API by pybind11)";
    export_session(m);
    export_delegate(m);
    export_records(m);
    export_frames(m);
    export_enumerations(m);
    export_settings(m);
}
