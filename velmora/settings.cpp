// The engine's process-wide settings, as module functions.
#include "exports.h"

#include "secrets.h"
#include "velmora_premier.h"

namespace py = pybind11;
using velmora::live::QVLiveSDK;

namespace velmora::binding {

void export_settings(py::module_& m) {
    m.def("SetLogPath", [](const Text& path) { return QVLiveSDK::SetLogPath(path.c_str("path")); }, py::arg("path"));
    m.def("SetLogLevel", &QVLiveSDK::SetLogLevel, py::arg("level"));
    m.def("EnableConsoleLog", &QVLiveSDK::EnableConsoleLog);
    m.def("DisableConsoleLog", &QVLiveSDK::DisableConsoleLog);
    m.def("DisableLogCompress", &QVLiveSDK::DisableLogCompress, py::arg("disabled"));
    m.def("DisableLogFile", &QVLiveSDK::DisableLogFile, py::arg("disabled"));
    m.def(
        "SetSocks5Proxy",
        [](const Text& ip, unsigned short port, const Text& username, const Text& password) {
            return QVLiveSDK::SetSocks5Proxy(ip.c_str("ip"), port, username.c_str("username"),
                                             password.c_str("password"));
        },
        py::arg("ip"), py::arg("port"), py::arg("username"), py::arg("password"));
    HideSecretInTypeErrors<kSocks5Password>(m.attr("SetSocks5Proxy"));
    m.def("SetEnvironment", [](const Text& env) { return QVLiveSDK::SetEnvironment(env.c_str("env")); },
          py::arg("env"));
}

}  // namespace velmora::binding
