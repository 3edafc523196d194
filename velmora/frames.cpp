// The media frames: payloads cross the boundary as bytes, with exactly one copy each way.
#include "exports.h"

#include <cstddef>
#include <cstdint>

namespace py = pybind11;
using namespace velmora::kwix;

namespace velmora::binding {

namespace {

template <typename Frame>
py::bytes GetFrameData(const Frame& frame) {
    if (frame.size() == 0) return py::bytes();  // data() may be null for an empty payload
    return py::bytes(reinterpret_cast<const char*>(frame.data()), frame.size());
}

template <typename Frame>
size_t GetFrameSize(const Frame& frame) {
    return frame.size();
}

template <typename Frame, void (Frame::*Setter)(const uint8_t*, size_t)>
void SetFrameData(Frame& frame, const py::bytes& data) {
    char* buffer = nullptr;
    Py_ssize_t length = 0;
    // The bytes object's own buffer: non-null even when empty, zero bytes included.
    if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &length) == -1) throw py::error_already_set();
    (frame.*Setter)(reinterpret_cast<const uint8_t*>(buffer), static_cast<size_t>(length));
}

}  // namespace

void export_frames(py::module_& m) {
    py::class_<AudioFrame> audio(m, "AudioFrame");
    audio.def(py::init<>())
        .def_readwrite("pts", &AudioFrame::pts)
        .def_readwrite("sample_rate", &AudioFrame::sample_rate)
        .def_readwrite("channels", &AudioFrame::channels)
        .def_readwrite("bits_per_sample", &AudioFrame::bits_per_sample);
    DefEnumField(audio, "codec", &AudioFrame::codec);
    audio.def_readwrite("has_voice", &AudioFrame::has_voice)
        .def_property_readonly("data", &GetFrameData<AudioFrame>)
        .def("SetData", &SetFrameData<AudioFrame, &AudioFrame::SetData>)
        .def_property_readonly("size", &GetFrameSize<AudioFrame>)
        .def("SetExtraData", &SetFrameData<AudioFrame, &AudioFrame::SetExtraData>);

    py::class_<VideoFrame> video(m, "VideoFrame");
    video.def(py::init<>()).def_readwrite("pts", &VideoFrame::pts).def_readwrite("dts", &VideoFrame::dts);
    DefEnumField(video, "codec", &VideoFrame::codec);
    video.def_readwrite("is_key_frame", &VideoFrame::is_key_frame);
    DefEnumField(video, "rotation", &VideoFrame::rotation);
    video.def_property_readonly("data", &GetFrameData<VideoFrame>)
        .def("SetData", &SetFrameData<VideoFrame, &VideoFrame::SetData>)
        .def_property_readonly("size", &GetFrameSize<VideoFrame>);

    py::class_<PixelFrame> pixel(m, "PixelFrame");
    pixel.def(py::init<>()).def_readwrite("pts", &PixelFrame::pts);
    DefEnumField(pixel, "format", &PixelFrame::format);
    pixel.def_readwrite("height", &PixelFrame::height).def_readwrite("width", &PixelFrame::width);
    DefEnumField(pixel, "rotation", &PixelFrame::rotation);
    pixel.def_property_readonly("data", &GetFrameData<PixelFrame>)
        .def("SetData", &SetFrameData<PixelFrame, &PixelFrame::SetData>)
        .def_property_readonly("size", &GetFrameSize<PixelFrame>);
}

}  // namespace velmora::binding
