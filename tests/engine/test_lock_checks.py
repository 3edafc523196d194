"""The engine's lock rules: clang's thread-safety analysis bites through our lock types, and
the fork handlers run in the one order engine/src/sync/fork.h states."""
import os
import re
import shutil
import subprocess
import sys

import pytest

from paths import ROOT

ENGINE_SRC = os.path.join(ROOT, "engine", "src")
# The flags of cmake/thread_safety.cmake.
CHECK_FLAGS = ["-std=c++17", "-fsyntax-only", "-Wthread-safety", "-Werror"]

PRELUDE = """
#include "sync/mutex.h"
using velmora::loopback::CondVar;
using velmora::loopback::Mutex;
using velmora::loopback::MutexLock;

class Box {
public:
    void Good();
    void Bad();
    void AddLocked(int n) REQUIRES(mu_) { value_ += n; }
    void Take() EXCLUDES(mu_) { MutexLock lock(mu_); }
    void Hold() ACQUIRE(mu_) { mu_.Lock(); }
    void Free() RELEASE(mu_) { mu_.Unlock(); }

private:
    Mutex mu_;
    CondVar changed_;
    int value_ GUARDED_BY(mu_) = 0;
};
"""

CASES = {
    # name: (body of Box::Bad, the diagnostic it must give; None: it must compile)
    "read under the lock": ("MutexLock lock(mu_); int seen = value_; (void)seen;", None),
    "a Locked call, wait and relock in one scope":
        ("MutexLock lock(mu_); AddLocked(1); while (value_ == 0) changed_.Wait(mu_);"
         " lock.Unlock(); Take(); lock.Lock(); value_ = 2;", None),
    "fork-style hold and free": ("Hold(); value_ = 1; Free();", None),
    "read without the lock": ("int seen = value_; (void)seen;", "reading variable 'value_' requires holding mutex 'mu_'"),
    "write after giving the lock up":
        ("MutexLock lock(mu_); lock.Unlock(); value_ = 1;", "writing variable 'value_' requires holding mutex 'mu_'"),
    "a Locked call without the lock": ("AddLocked(1);", "calling function 'AddLocked' requires holding mutex 'mu_'"),
    "a taking call under the lock": ("MutexLock lock(mu_); Take();", "cannot call function 'Take' while mutex 'mu_' is held"),
    "the lock taken twice": ("MutexLock lock(mu_); mu_.Lock();", "acquiring mutex 'mu_' that is already held"),
    "a wait without the lock": ("changed_.Wait(mu_);", "calling function 'Wait' requires holding mutex 'mu_'"),
    "a lock kept past the scope": ("Hold();", "mutex 'mu_' is still held at the end of function"),
}


def _clang():
    clang = shutil.which("clang++")
    if clang is None:
        message = "the lock checks need clang++ (Debian: apt-get install clang; scripts/common.sh installs it)"
        if os.environ.get("CI"):
            pytest.fail(message)
        pytest.skip(message)
    return clang


@pytest.mark.parametrize("name", sorted(CASES))
def test_thread_safety_analysis_bites_through_the_engine_lock(tmp_path, name):
    body, diagnostic = CASES[name]
    source = tmp_path / "case.cpp"
    source.write_text(PRELUDE + "void Box::Good() {}\nvoid Box::Bad() {" + body + "}\n")
    result = subprocess.run([_clang(), *CHECK_FLAGS, "-I", ENGINE_SRC, str(source)],
                            capture_output=True, text=True, timeout=120)
    if diagnostic is None:
        assert result.returncode == 0, result.stderr
    else:
        assert result.returncode != 0
        assert diagnostic in result.stderr, result.stderr
        assert "-Wthread-safety" in result.stderr


def _fork_stages():
    with open(os.path.join(ENGINE_SRC, "sync", "fork.h"), encoding="utf-8") as f:
        text = f.read()
    enum = text[text.index("enum class ForkStage {"):text.index("kCount,")]
    return re.findall(r"^\s+(k\w+),", enum, re.M)


def _layers():
    with open(os.path.join(ENGINE_SRC, "layers.txt"), encoding="utf-8") as f:
        return [line.split()[0] for line in f if line.strip() and not line.startswith("#")]


def test_fork_stages_follow_the_layers_top_to_bottom_and_have_one_owner():
    # Locks are taken before a fork in the stages' order; a layer holds its locks while it
    # calls the layers below it, so a stage placed below a lower layer's could deadlock a fork.
    layers = _layers()
    registered = {}
    calls_atfork = []
    for folder, _, files in os.walk(ENGINE_SRC):
        for name in files:
            path = os.path.join(folder, name)
            layer = os.path.relpath(path, ENGINE_SRC).split(os.sep)[0]
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            if "pthread_atfork" in text and layer != "sync":
                calls_atfork.append(os.path.relpath(path, ENGINE_SRC))
            if layer != "sync":
                for stage in re.findall(r"ForkStage::(k\w+)", text):
                    registered.setdefault(stage, set()).add(layer)
    assert calls_atfork == [], "fork handlers go through sync/fork.h"
    stages = _fork_stages()
    assert sorted(registered) == sorted(stages), "every stage registered, and only those"
    ranks = []
    for stage in stages:
        (layer,) = registered[stage]
        ranks.append((layers.index(layer), stage, layer))
    assert ranks == sorted(ranks, key=lambda r: r[0]), ranks


ORDER_PROGRAM = r"""
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <string>
#include "sync/fork.h"
using namespace velmora::loopback;
static std::string g_seen;
// Named by their place in ForkStage.
template <int N> struct Stage {
    static void Prepare() { g_seen += "p" + std::to_string(N) + " "; }
    static void Parent() { g_seen += "a" + std::to_string(N) + " "; }
    static void Child() { g_seen += "c" + std::to_string(N) + " "; }
};
template <int N> void Register(ForkStage stage) {
    RegisterForkHandlers(stage, &Stage<N>::Prepare, &Stage<N>::Parent, &Stage<N>::Child);
}
int main() {
    // Registered in an order of their own; a second registration of a stage changes nothing.
    Register<9>(ForkStage::kLog);
    Register<0>(ForkStage::kRoomBus);
    Register<4>(ForkStage::kNetwork);
    Register<7>(ForkStage::kNetwork);
    RegisterForkHandlers(ForkStage::kClock, nullptr, nullptr, &Stage<3>::Child);
    Register<7>(ForkStage::kDeliveryPool);
    pid_t pid = fork();
    if (pid == 0) {
        std::printf("child %s\n", g_seen.c_str());
        return 0;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::printf("parent %s\n", g_seen.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
"""


def test_fork_handlers_run_in_the_stated_order_whatever_the_registration_order(tmp_path):
    source = tmp_path / "order.cpp"
    source.write_text(ORDER_PROGRAM)
    program = tmp_path / "order"
    compiler = os.environ.get("CXX") or shutil.which("c++") or "g++"
    subprocess.run([compiler, "-std=c++17", "-pthread", "-I", ENGINE_SRC, str(source),
                    os.path.join(ENGINE_SRC, "sync", "fork.cpp"), "-o", str(program)],
                   check=True, capture_output=True, timeout=300)
    out = subprocess.run([str(program)], capture_output=True, text=True, timeout=60, check=True).stdout
    lines = dict(line.split(" ", 1) for line in out.splitlines())
    # Prepare top to bottom; after the fork bottom to top, on both sides.
    assert lines["child"].split() == ["p0", "p4", "p7", "p9", "c9", "c7", "c4", "c3", "c0"]
    assert lines["parent"].split() == ["p0", "p4", "p7", "p9", "a9", "a7", "a4", "a0"]
