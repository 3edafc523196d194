"""The timeline page: what it shows of lost audio, dropped connections, quality, faults,
errors and marks at one spot; its axis; and the page in a real browser."""
import base64
import os
import re
import shutil

import pytest

import _velmora as v
from velmora.testing import Recording, parse_scenario, run, values
from velmora.testing.timeline import lanes, render

TONE = base64.b64encode(b"\x00\x40" * 960).decode()  # 20 ms at 48 kHz, loud


def _audio(t, user="alice"):
    return {"t": t, "kind": "callback", "name": "OnRemoteAudioReceived",
            "args": [user, {"AudioFrame": {"sample_rate": 48000, "channels": 1, "bits_per_sample": 16,
                                           "codec": 0, "pts": t, "has_voice": False, "data": TONE}}]}


def _room(t, who, what, detail=None):
    return {"t": t, "kind": "room", "who": who, "what": what, "detail": detail}


def _states(t, old, new):
    return {"t": t, "kind": "callback", "name": "OnConnectionStateChanged",
            "args": [values.encode(v.ConnectionState(old)), values.encode(v.ConnectionState(new))]}


def test_lost_audio_drops_and_reports_show():
    heard = [t for t in range(100, 1100, 20) if t not in (300, 320, 500)]   # 3 of 50 frames lost
    recording = Recording({"user_id": "bot"}, [
        _room(0, "bot", "join"), _room(50, "alice", "join"), _room(90, "alice", "speech_start", "tone"),
        *[_audio(t) for t in heard], _room(1100, "alice", "speech_end"),
        _room(1200, "alice", "disconnect", "400 ms"),
        _states(1300, 3, 1), _states(1310, 1, 2), _states(1500, 2, 3),
        {"t": 1600, "kind": "error", "name": "OnRemoteUserEnterRoom", "error": "Traceback ...\nValueError: no"},
        _room(2000, "alice", "leave"),
    ])
    rows, end = lanes(recording)
    alice, bot = rows["alice"], rows["bot"]
    assert alice["speech"] == [(100, 1100, 47, 3)]
    assert alice["lost"] == [(300, 340, 2), (500, 520, 1)]
    assert alice["drops"] == [(1200, 1600)] and bot["drops"] == [(1300, 1500)]
    page = render(recording)
    assert "alice speaking 100-1100 ms: 47 frame(s) heard, 3 lost (6 %)" in page
    assert "alice: 2 audio frame(s) lost 300-340 ms" in page and "alice&#x27;s connection dropped 1200-1600 ms" in page
    assert "alice in the room 50-1200 ms" in page and "alice in the room 1600-2000 ms" in page
    assert "1600 ms: OnRemoteUserEnterRoom raised: ValueError: no" in page
    assert "alice: no network quality report yet 50-2000 ms" in page


def test_marks_at_one_spot_are_one_mark_listing_them_all():
    recording = Recording({"user_id": "bot"}, [
        _room(0, "alice", "join"),
        *[{"t": 1000 + i, "kind": "callback", "name": "OnReceiveCustomCmdMsg",
           "args": ["alice", 1, i + 1, {"bytes": base64.b64encode(b"m%d" % i).decode()}]} for i in range(3)],
        _room(1002, "alice", "network", "latency_ms=50"),
        _room(5000, "alice", "leave"),
    ])
    page = render(recording)
    marks = re.findall(r'<g class="item">(<circle|<path)[^>]*/>(?:<text[^>]*>(\d+)</text>)?', page)
    assert marks == [("<circle", "4")]
    for line in ("1000 ms: OnReceiveCustomCmdMsg: b&#x27;m0&#x27;", "1002 ms: OnReceiveCustomCmdMsg: b&#x27;m2&#x27;",
                 "1002 ms: network latency_ms=50"):
        assert line in page


@pytest.mark.parametrize("end, labels", [
    (400, ["0 ms", "50 ms", "100 ms", "150 ms", "200 ms", "250 ms", "300 ms", "350 ms", "400 ms"]),
    (4000, ["0 ms", "500 ms", "1000 ms", "1500 ms", "2000 ms", "2500 ms", "3000 ms", "3500 ms", "4000 ms"]),
    (61000, ["0 s", "10 s", "20 s", "30 s", "40 s", "50 s", "60 s"]),
])
def test_the_axis_has_round_labels_that_fit(end, labels):
    page = render(Recording({"user_id": "bot"}, [_room(0, "bot", "join"), _room(end, "bot", "leave")]))
    ticks = re.findall(r'<text x="([\d.]+)" y="\d+" class="tick">([^<]*)</text>', page)
    assert [label for _, label in ticks] == labels
    assert float(ticks[-1][0]) + 4 * len(labels[-1]) < 1100  # the last one is not cut at the edge


def _browser():
    """A Chromium driven by selenium, or a skip naming what is missing (a failure in CI)."""
    missing = [name for name in ("chromium", "chromedriver") if shutil.which(name) is None]
    try:
        from selenium import webdriver
    except ImportError:
        missing.append("selenium (pip)")
        webdriver = None
    if missing:
        message = ("the timeline's browser test needs " + ", ".join(missing) +
                   " (Debian: apt-get install chromium chromium-driver; pip install selenium)")
        if os.environ.get("CI"):
            pytest.fail(message)
        pytest.skip(message)
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1300,900"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The browser is no part of the code under test: it runs without the sanitizers' runtime
    # that the sanitized suite preloads.
    env = {name: value for name, value in os.environ.items()
           if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS")}
    return webdriver.Chrome(service=webdriver.ChromeService(shutil.which("chromedriver"), env=env),
                            options=options)


@pytest.mark.slow
def test_the_timeline_in_a_browser(tmp_path):
    from velmora import QuietDelegate
    from selenium.webdriver.common.action_chains import ActionChains

    scenario = parse_scenario('quality_report_ms = 300\n[[participant]]\nid = "alice"\n'
                              '[[event]]\nat_ms = 100\nwho = "alice"\naction = "speak"\nduration_ms = 1500\n'
                              '[[event]]\nat_ms = 200\nwho = "alice"\naction = "network"\naudio_loss = 0.3\n'
                              '[[event]]\nat_ms = 900\nwho = "alice"\naction = "custom_cmd"\nmessage = "hi"\n')
    path = run(scenario, QuietDelegate).timeline(str(tmp_path / "run.html"))
    driver = _browser()
    try:
        driver.get("file://" + path)
        problems = [entry for entry in driver.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")]
        assert problems == []
        for shape, wanted in (("rect", "alice speaking"), ("rect", "audio frame(s) lost"),
                              ("circle", "OnReceiveCustomCmdMsg: b'hi'")):
            item = next(g for g in driver.find_elements("css selector", "g.item")
                        if wanted in g.get_attribute("textContent"))
            tip = item.find_element("css selector", ".tip")
            assert not tip.is_displayed()
            ActionChains(driver).move_to_element(item.find_element("css selector", shape)).perform()
            assert tip.is_displayed() and wanted in tip.text
    finally:
        driver.quit()


@pytest.mark.slow
def test_a_failing_run_keeps_its_report_whatever_writing_its_files_does(tmp_path, run_pytest):
    (tmp_path / "test_bot.py").write_text(
        "import _velmora as v\nfrom velmora import QuietDelegate\nfrom velmora.testing import parse_scenario, runner\n"
        "S = parse_scenario('[[participant]]\\nid = \"alice\"\\n')\n"
        "class Broken(QuietDelegate):\n"
        "    def OnRemoteUserEnterRoom(self, info):\n        raise ValueError('cannot greet')\n"
        "def test_raising_bot(velmora_runner):\n    velmora_runner(S, Broken)\n"
        "def test_unwritable(velmora_runner, monkeypatch):\n    velmora_runner(S, QuietDelegate)\n"
        "    monkeypatch.setattr(runner.RunResult, 'timeline', lambda self, path: 1 / 0)\n"
        "    assert False, 'the bot failed'\n"
        "def test_later(velmora_runner):\n    velmora_runner(S, QuietDelegate)\n")
    completed = run_pytest(["--basetemp", str(tmp_path / "base"), "test_bot.py"], tmp_path)
    out = completed.stdout
    assert "2 failed, 1 passed" in out and "INTERNALERROR" not in out + completed.stderr, out
    assert "the bot failed" in out and "timeline:  could not be written (ZeroDivisionError: division by zero)" in out
    drawn = [line.split(":", 1)[1].strip() for line in out.splitlines() if line.startswith("timeline:  /")]
    assert len(drawn) == 1 and "OnRemoteUserEnterRoom raised: ValueError: cannot greet" in open(drawn[0]).read()
