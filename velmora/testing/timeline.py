"""A recording drawn as one self-contained HTML page (inline SVG and CSS, no scripts or
external files): a row per member with its presence, its speech as the bot heard it, its
video (offered, and received by the bot), its messages and its network quality, and a row for
the bot with its own sends."""
import array
import base64
import html

import _velmora as v

from . import network, values

ROW = 46
LEFT = 130
WIDTH = 1100
QUALITY_COLOURS = {0: "#bbbbbb", 1: "#2e9d4a", 2: "#8cc63f", 3: "#f2c14e", 4: "#f08a24",
                   5: "#d9382e", 6: "#555555"}
FRAME_GAP_MS = 60
VIDEO_GAP_MS = 500  # video frames closer than this make one stretch of received video
VIDEO_CALLBACKS = ("OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived")
SILENCE_POWER = 100 ** 2  # audio frames closer than this make one stretch of speech


def _segments(times, gap=FRAME_GAP_MS, tail=20):
    segments = []
    for t in sorted(times):
        if segments and t - segments[-1][1] <= gap:
            segments[-1][1] = t
        else:
            segments.append([t, t])
    return [(start, end + tail) for start, end in segments]


def _audible(frame):
    """Louder than about -50 dBFS. has_voice is not used: it is set only where the receiver
    turned voice detection on."""
    if frame.get("codec", 0) != 0 or frame.get("bits_per_sample", 16) != 16:
        return True  # coded audio: its level is not visible without decoding
    raw = base64.b64decode(frame.get("data", ""))
    samples = array.array("h", raw[:len(raw) // 2 * 2])  # 16-bit little-endian, as on x86-64
    if len(samples) == 0:
        return False
    return sum(s * s for s in samples) / len(samples) > SILENCE_POWER


def _user(arg):
    return arg if isinstance(arg, str) else values.brief(arg)


def lanes(recording):
    """What the page shows, by member: {"user": {"presence": [(from, to)], "speech": [...],
    "video_offered": [...], "video": [...], "marks": [(t, colour, text)], "quality": [(t,
    value)]}}; the bot's row is its user id. video_offered: while the member had a video stream
    open (OnRemoteVideoAvailable); video: while the bot received its frames."""
    bot = recording.header.get("user_id") or "bot"
    rows = {bot: _lane()}
    end = 0

    def row(user):
        return rows.setdefault(user, _lane())

    joined = {}
    speech = {}
    video = {}
    offered = {}  # user: {stream type: since}
    for e in recording.snapshot():
        t = e["t"]
        end = max(end, t)
        if e["kind"] == "room":
            who = e["who"] or bot
            if e["what"] == "join":
                joined[who] = t
            elif e["what"] == "leave" and who in joined:
                row(who)["presence"].append((joined.pop(who), t))
            elif e["what"] in network.ACTIONS:
                setting = network.ACTIONS[e["what"]]
                # Faults of a member's link in red, the rest grey.
                colour = "#d9382e" if setting.scope == "member" else "#777777"
                detail = "" if e["detail"] is None else e["detail"]
                row(who)["marks"].append((t, colour, f"{setting.label} {detail}".strip()))
            else:
                row(who)
        elif e["kind"] == "send":
            row(bot)["marks"].append((t, "#1f5fbf", f"{e['name']} -> {e['result']}: "
                                      + ", ".join(values.brief(a) for a in e["args"][:3])))
        else:
            name, args = e["name"], e["args"]
            if name == "OnRemoteAudioReceived":
                if _audible(args[1].get("AudioFrame", {})):
                    speech.setdefault(_user(args[0]), []).append(t)
            elif name in VIDEO_CALLBACKS:
                video.setdefault(_user(args[0]), []).append(t)
            elif name == "OnRemoteVideoAvailable":
                streams = offered.setdefault(_user(args[0]), {})
                stream = values.brief(args[2])
                if args[1] and stream not in streams:
                    streams[stream] = t
                elif not args[1] and stream in streams:
                    row(_user(args[0]))["video_offered"].append((streams.pop(stream), t))
            elif name in ("OnSeiMessageReceived", "OnReceiveCustomCmdMsg"):
                row(_user(args[0]))["marks"].append((t, "#7b3fbf", f"{name}: {values.brief(args[-1])}"))
            elif name == "OnMissCustomCmdMsg":
                row(_user(args[0]))["marks"].append((t, "#d9382e", f"missed {args[3]} command(s)"))
            elif name == "OnNetworkQuality":
                for report in values.decode(args[1]):
                    user = report.user_id.GetValue() or "?"
                    row(user)["quality"].append((t, int(report.quality)))
                row(bot)["quality"].append((t, args[0]["NetworkQualityInfo"]["quality"]))
            elif name in ("OnRemoteUserEnterRoom", "OnRemoteUserExitRoom"):
                row(args[0]["UserInfo"]["user_id"] or "?")
            elif name in ("OnError", "OnConnectionStateChanged"):
                colour = "#d9382e" if name == "OnError" else "#777777"
                row(bot)["marks"].append((t, colour, name + " " + " ".join(values.brief(a) for a in args)))
    for who, since in joined.items():
        row(who)["presence"].append((since, end))
    for who, times in speech.items():
        row(who)["speech"] = _segments(times)
    for who, streams in offered.items():
        row(who)["video_offered"].extend((since, end) for since in streams.values())
    for who, times in video.items():
        row(who)["video"] = _segments(times, VIDEO_GAP_MS, 0)
    return rows, max(end, 1)


def _lane():
    return {"presence": [], "speech": [], "video_offered": [], "video": [], "marks": [], "quality": []}


def render(recording, title=None):
    rows, end = lanes(recording)
    title = title or f"velmora timeline: {recording.header.get('scenario', 'recording')}"
    scale = (WIDTH - LEFT - 20) / end

    def x(t):
        return LEFT + t * scale

    parts = []
    for index, (user, lane) in enumerate(rows.items()):
        top = 30 + index * ROW
        parts.append(f'<text x="8" y="{top + 22}" class="who">{html.escape(str(user))}</text>')
        parts.append(f'<line x1="{LEFT}" y1="{top + ROW - 4}" x2="{WIDTH - 20}" y2="{top + ROW - 4}" class="rule"/>')
        for start, stop in lane["presence"]:
            parts.append(_rect(x(start), top + 4, (stop - start) * scale, 8, "#cfd8e3",
                               f"{user} in the room {start}-{stop} ms"))
        for start, stop in lane["video_offered"]:
            parts.append(_rect(x(start), top + 14, (stop - start) * scale, 10, "#dcd3ef",
                               f"{user} offering video {start}-{stop} ms"))
        for start, stop in lane["video"]:
            parts.append(_rect(x(start), top + 19, (stop - start) * scale, 5, "#6a3fbf",
                               f"the bot receiving {user}'s video {start}-{stop} ms"))
        for start, stop in lane["speech"]:
            parts.append(_rect(x(start), top + 14, (stop - start) * scale, 5, "#2e9d4a",
                               f"{user} speaking {start}-{stop} ms"))
        quality = lane["quality"]
        for i, (t, value) in enumerate(quality):
            stop = quality[i + 1][0] if i + 1 < len(quality) else end
            parts.append(_rect(x(t), top + 26, (stop - t) * scale, 5, QUALITY_COLOURS.get(value, "#000"),
                               f"{user} network quality {_quality_name(value)} from {t} ms"))
        for t, colour, text in lane["marks"]:
            parts.append(f'<circle cx="{x(t):.1f}" cy="{top + 37}" r="4" fill="{colour}">'
                         f'<title>{html.escape(f"{t} ms: {text}")}</title></circle>')
    height = 60 + len(rows) * ROW
    ticks = []
    step = max(100, round(end / 10, -2))
    t = 0
    while t <= end:
        ticks.append(f'<text x="{x(t):.1f}" y="{height - 12}" class="tick">{t} ms</text>')
        t += step
    legend = ("grey bar: in the room; green bar: speech heard by the bot; light purple bar: video offered "
              "(a stream open); dark purple bar: video received by the bot; thin strip: network "
              "quality (green good to red bad); dots: messages (purple), missed commands and "
              "errors (red), the bot's sends (blue), set-up and connection changes (grey). Hover for details.")
    return f"""<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>{html.escape(title)}</title>
<style>
body {{ font-family: sans-serif; margin: 16px; }}
.who {{ font-size: 13px; }} .tick {{ font-size: 10px; fill: #666; }}
.rule {{ stroke: #eee; }}
</style></head>
<body><h1 style="font-size:16px">{html.escape(title)}</h1>
<p style="font-size:12px">{html.escape(legend)}</p>
<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{height}">
{chr(10).join(parts)}
{chr(10).join(ticks)}
</svg></body></html>
"""


def _quality_name(value):
    try:
        return v.NetworkQuality(value).name[len("NETWORK_QUALITY_"):].lower()
    except ValueError:
        return str(value)


def _rect(x, y, width, height, colour, text):
    return (f'<rect x="{x:.1f}" y="{y}" width="{max(width, 1.0):.1f}" height="{height}" fill="{colour}">'
            f'<title>{html.escape(text)}</title></rect>')


def write_html(recording, path, title=None):
    with open(path, "w", encoding="utf-8") as out:
        out.write(render(recording, title))
    return path
