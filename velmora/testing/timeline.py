"""A recording drawn as one self-contained HTML page (inline SVG and CSS, no scripts or
external files): a row per member with its presence (and its dropped connections), its
speech as the bot heard it (and the audio frames lost on the way), its video (offered, and
received by the bot), its messages and its network quality, and a row for the bot with its own
sends and errors. Hovering over any
shape shows its details."""
import array
import base64
import html
import re

import _velmora as v

from . import network, values

ROW = 52
LEFT = 130
WIDTH = 1100
RIGHT = 50                # room for the last axis label
TOP = 30
PRESENCE, SPEECH, VIDEO, QUALITY, MARKS = 4, 15, 25, 29, 41   # offsets of a row's lanes from its top
QUALITY_COLOURS = {0: "#bbbbbb", 1: "#1a9850", 2: "#91cf60", 3: "#fee08b", 4: "#fc8d59",
                   5: "#d73027", 6: "#555555"}
NO_REPORT = "#e4e4e4"
PRESENCE_COLOUR = "#cfd8e3"
SPEECH_COLOUR = "#3b6fb6"
LOST_COLOUR = "#f4a6a6"
MARK_COLOURS = {"message": "#7b3fbf", "error": "#d9382e", "fault": "#e07b00", "send": "#1b8a8f",
                "setup": "#888888"}
# Which colour a group of marks at one spot takes: the most pressing kind in it.
MARK_ORDER = ("error", "fault", "message", "send", "setup")
FRAME_GAP_MS = 60          # audible frames closer than this make one stretch of speech
SILENCE_POWER = 100 ** 2   # mean square below this (about -50 dBFS) is silence
MARK_SPACING = 9           # marks closer than this many pixels are drawn as one
TIP_LINES = 14
SPEECH_SLACK_MS = 1000     # how late a scripted speaker's frames may still arrive
VIDEO_OFFERED_COLOUR = "#d9c8ef"
VIDEO_COLOUR = "#6a3fa0"
VIDEO_GAP_MS = 500         # video frames closer than this make one stretch of received video
VIDEO_CALLBACKS = ("OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived")


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


def _frame_ms(frame):
    """A PCM frame's length from its size; 20 ms when that cannot be told."""
    rate, channels = frame.get("sample_rate") or 0, frame.get("channels") or 0
    size = len(frame.get("data", "")) * 3 // 4
    if frame.get("codec", 0) != 0 or rate <= 0 or channels <= 0:
        return 20
    return max(1, round(size / (rate * channels * 2) * 1000))


def _user(arg):
    return arg if isinstance(arg, str) else values.brief(arg)


def _lane():
    return {"presence": [], "drops": [], "speech": [], "lost": [], "video_offered": [], "video": [],
            "marks": [], "quality": [], "since": None}


def _stretches(times, gap):
    """Times closer than `gap` joined into [(from, to)]."""
    stretches = []
    for t in sorted(times):
        if stretches and t - stretches[-1][1] <= gap:
            stretches[-1][1] = t
        else:
            stretches.append([t, t])
    return [(start, stop) for start, stop in stretches]


def lanes(recording):
    """What the page shows, by member: {"user": {"presence": [(from, to)], "drops": [(from,
    to)], "speech": [(from, to, heard, lost)], "lost": [(from, to, frames)], "marks": [(t,
    kind, text)], "quality": [(t, value)], "video_offered": [(from, to)] while it had a video
    stream open, "video": [(from, to)] while the bot received its frames, "since": first
    presence}}; the bot's row is its user id. Also the recording's end time."""
    bot = recording.header.get("user_id") or "bot"
    rows = {bot: _lane()}
    end = 0

    def row(user):
        return rows.setdefault(user, _lane())

    joined = {}
    frames = {}        # user -> [(t, frame ms, audible)]
    speaking = {}      # user -> [[from, to]] of scripted speech
    drop_started = None
    video = {}         # user -> [t] of video frames the bot received
    offered = {}       # user -> {stream type: since}
    for e in recording.snapshot():
        t = e["t"]
        end = max(end, t)
        if e["kind"] == "room":
            who = e["who"] or bot
            what, detail = e["what"], e.get("detail")
            if what == "join":
                joined[who] = t
                if row(who)["since"] is None:
                    row(who)["since"] = t
            elif what == "leave" and who in joined:
                row(who)["presence"].append((joined.pop(who), t))
            elif what == "speech_start":
                speaking.setdefault(who, []).append([t, None])
            elif what == "speech_end" and speaking.get(who):
                speaking[who][-1][1] = t
            elif what in network.ACTIONS:
                setting = network.ACTIONS[what]
                # Faults of a member's link in the faults' own colour; quality and room-wide
                # settings are set-up, marked on the bot's row when they have no member.
                kind = "fault" if setting.scope == "member" else "setup"
                target = bot if setting.scope == "room" else who
                row(target)["marks"].append((t, kind, f"{setting.label} {detail if detail is not None else ''}".strip()))
                length = re.match(r"(\d+) ms$", str(detail or ""))
                if what == "disconnect" and length:
                    row(who)["drops"].append((t, t + int(length.group(1))))
            else:
                row(who)
        elif e["kind"] == "send":
            row(bot)["marks"].append((t, "send", f"{e['name']} -> {values.brief(e.get('result'))}: "
                                      + ", ".join(values.brief(a) for a in e["args"][:3])))
        elif e["kind"] == "error":
            lines = str(e.get("error", "")).strip().splitlines()
            row(bot)["marks"].append((t, "error", f"{e['name']} raised: " + (lines[-1] if lines else "?")))
        else:
            name, args = e["name"], e["args"]
            if name == "OnRemoteAudioReceived":
                frame = args[1].get("AudioFrame", {}) if isinstance(args[1], dict) else {}
                frames.setdefault(_user(args[0]), []).append((t, _frame_ms(frame), _audible(frame)))
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
                row(_user(args[0]))["marks"].append((t, "message", f"{name}: {values.brief(args[-1])}"))
            elif name == "OnMissCustomCmdMsg":
                row(_user(args[0]))["marks"].append((t, "error", f"missed {args[3]} command(s)"))
            elif name == "OnNetworkQuality":
                for report in values.decode(args[1]):
                    user = report.user_id.GetValue() or "?"
                    row(user)["quality"].append((t, int(report.quality)))
                row(bot)["quality"].append((t, args[0]["NetworkQualityInfo"]["quality"]))
            elif name in ("OnRemoteUserEnterRoom", "OnRemoteUserExitRoom"):
                row(args[0]["UserInfo"]["user_id"] or "?")
            elif name in ("OnError", "OnConnectionStateChanged"):
                kind = "error" if name == "OnError" else "setup"
                row(bot)["marks"].append((t, kind, name + " " + " ".join(values.brief(a) for a in args)))
                if name == "OnConnectionStateChanged":
                    new = values.brief(args[1])
                    if new == "CONNECTION_STATE_DISCONNECTED" and drop_started is None:
                        drop_started = t
                    elif new == "CONNECTION_STATE_CONNECTED" and drop_started is not None:
                        row(bot)["drops"].append((drop_started, t))
                        drop_started = None
    end = max(end, 1)
    if drop_started is not None:
        row(bot)["drops"].append((drop_started, end))
    for who, since in joined.items():
        row(who)["presence"].append((since, end))
    for who, streams in offered.items():
        row(who)["video_offered"].extend((since, end) for since in streams.values())
    for who, times in video.items():
        row(who)["video"] = _stretches(times, VIDEO_GAP_MS)
    for who, heard in frames.items():
        intervals = [(start, (stop if stop is not None else end) + SPEECH_SLACK_MS)
                     for start, stop in speaking.get(who, [])]
        row(who)["speech"], row(who)["lost"] = _speech(heard, intervals)
    return rows, end


def _speech(heard, scripted):
    """Stretches of audible frames [(from, to, frames heard, frames lost)] and the gaps of
    lost frames [(from, to, frames)]. A gap between two frames counts as loss when it holds
    at most two frames, or when the speaker was scripted to speak all through it."""
    lost = []
    for (t0, ms0, _), (t1, ms1, _) in zip(heard, heard[1:]):
        gap = t1 - t0
        if gap <= 1.5 * ms0:
            continue
        within_script = any(start <= t0 and t1 <= stop for start, stop in scripted)
        if gap <= 3 * ms0 or within_script:
            lost.append((t0 + ms0, t1, max(1, round(gap / ms0) - 1)))
    stretches = []
    for t, ms, audible in heard:
        if not audible:
            continue
        last = stretches[-1] if stretches else None
        if last is not None and (t - last[1] <= FRAME_GAP_MS or any(
                last[1] <= start and stop <= t + ms for start, stop, _ in lost)):
            last[1] = t + ms
            last[2] += 1
        else:
            stretches.append([t, t + ms, 1, 0])
    for stretch in stretches:
        stretch[3] = sum(count for start, stop, count in lost
                         if stretch[0] <= start and stop <= stretch[1])
    return [tuple(s) for s in stretches], lost


def _subtract(spans, holes):
    """`spans` without the parts `holes` cover."""
    result = []
    for start, stop in spans:
        pieces = [(start, stop)]
        for hole_start, hole_stop in holes:
            cut = []
            for a, b in pieces:
                if hole_stop <= a or hole_start >= b:
                    cut.append((a, b))
                    continue
                if a < hole_start:
                    cut.append((a, hole_start))
                if hole_stop < b:
                    cut.append((hole_stop, b))
            pieces = cut
        result.extend(pieces)
    return result


def _tick_step(end):
    """An axis step of 1, 2 or 5 times a power of ten milliseconds, about ten to the page."""
    step = 10
    while True:
        for factor in (1, 2, 5):
            if end / (step * factor) <= 10:
                return step * factor
        step *= 10


def _tick_label(t, step):
    if step >= 1000 and t % 1000 == 0:
        return f"{t // 1000} s"
    return f"{t} ms"


class _Page:
    """The SVG's shapes. Each hoverable shape carries its details in a tip that CSS shows on
    hover. SVG paints in document order, so rows are written bottom up, and the lanes of a
    row bottom up, and every tip opens downwards: a tip then always lies on top of the shapes
    it covers."""

    def __init__(self, end):
        self.scale = (WIDTH - LEFT - RIGHT) / end
        self.parts = []

    def x(self, t):
        return LEFT + t * self.scale

    def tip(self, x, y, text):
        lines = text.splitlines() or [""]
        if len(lines) > TIP_LINES:
            lines = lines[:TIP_LINES - 1] + [f"... and {len(lines) - TIP_LINES + 1} more"]
        width = 12 + 6.3 * max(len(line) for line in lines)
        height = 8 + 14 * len(lines)
        left = min(max(x, 4), WIDTH - width - 4)
        spans = "".join(f'<tspan x="{left + 6:.1f}" dy="{14 if i else 0}">{html.escape(line)}</tspan>'
                        for i, line in enumerate(lines))
        return (f'<g class="tip"><rect x="{left:.1f}" y="{y}" width="{width:.1f}" height="{height}"/>'
                f'<text y="{y + 15}">{spans}</text></g>')

    def shape(self, element, x, y, text):
        self.parts.append(f'<g class="item">{element}{self.tip(x, y, text)}</g>')

    def rect(self, t0, t1, y, height, colour, text, extra=""):
        x = self.x(t0)
        width = max((t1 - t0) * self.scale, 1.0)
        self.shape(f'<rect x="{x:.1f}" y="{y}" width="{width:.1f}" height="{height}" fill="{colour}"{extra}/>',
                   x, y + height + 3, text)


def _mark_groups(marks, scale):
    """Marks closer than MARK_SPACING pixels, as groups [(t, [(t, kind, text)])]."""
    groups = []
    for mark in sorted(marks, key=lambda m: m[0]):
        if groups and (mark[0] - groups[-1][0]) * scale < MARK_SPACING:
            groups[-1][1].append(mark)
        else:
            groups.append((mark[0], [mark]))
    return groups


def _row(page, user, lane, top, end):
    y = top + MARKS
    for t, group in _mark_groups(lane["marks"], page.scale):
        kinds = {kind for _, kind, _ in group}
        kind = next(k for k in MARK_ORDER if k in kinds)
        colour = MARK_COLOURS[kind]
        x = page.x(t)
        text = "\n".join(f"{when} ms: {what}" for when, _, what in group)
        if kinds == {"fault"}:
            element = (f'<path d="M{x:.1f},{y - 5} l5,5 l-5,5 l-5,-5 z" fill="{colour}"/>')
        else:
            element = f'<circle cx="{x:.1f}" cy="{y}" r="{5 if len(group) > 1 else 4}" fill="{colour}"/>'
        if len(group) > 1:
            element += f'<text x="{x:.1f}" y="{y + 3.5}" class="count">{len(group)}</text>'
        page.shape(element, x, y + 8, text)
    quality = lane["quality"]
    since = lane["since"] if lane["since"] is not None else (quality[0][0] if quality else None)
    if since is not None and (not quality or since < quality[0][0]):
        first = quality[0][0] if quality else end
        page.rect(since, first, top + QUALITY, 6, NO_REPORT, f"{user}: no network quality report yet "
                  f"{since}-{first} ms")
    for i, (t, value) in enumerate(quality):
        stop = quality[i + 1][0] if i + 1 < len(quality) else end
        page.rect(t, stop, top + QUALITY, 6, QUALITY_COLOURS.get(value, "#000"),
                  f"{user} network quality {_quality_name(value)} from {t} ms")
    for start, stop in lane["video_offered"]:
        page.rect(start, stop, top + VIDEO, 3, VIDEO_OFFERED_COLOUR, f"{user} offering video {start}-{stop} ms")
    for start, stop in lane["video"]:
        page.rect(start, stop, top + VIDEO, 3, VIDEO_COLOUR,
                  f"the bot receiving {user}'s video {start}-{stop} ms")
    for start, stop, heard, lost in lane["speech"]:
        share = f", {lost} lost ({100 * lost / (heard + lost):.0f} %)" if lost else ""
        page.rect(start, stop, top + SPEECH, 10, SPEECH_COLOUR,
                  f"{user} speaking {start}-{stop} ms: {heard} frame(s) heard{share}")
    for start, stop, count in lane["lost"]:
        page.rect(start, stop, top + SPEECH, 10, LOST_COLOUR,
                  f"{user}: {count} audio frame(s) lost {start}-{stop} ms")
    for start, stop in lane["drops"]:
        page.rect(start, stop, top + PRESENCE, 8, "#ffffff", f"{user}'s connection dropped {start}-{stop} ms",
                  f' stroke="{MARK_COLOURS["fault"]}" stroke-dasharray="3,2"')
    for start, stop in _subtract(lane["presence"], lane["drops"]):
        page.rect(start, stop, top + PRESENCE, 8, PRESENCE_COLOUR, f"{user} in the room {start}-{stop} ms")
    page.parts.append(f'<line x1="{LEFT}" y1="{top + ROW - 4}" x2="{WIDTH - RIGHT}" y2="{top + ROW - 4}" '
                      'class="rule"/>')
    page.parts.append(f'<text x="8" y="{top + 22}" class="who">{html.escape(str(user))}</text>')


def render(recording, title=None):
    rows, end = lanes(recording)
    title = title or f"velmora timeline: {recording.header.get('scenario', 'recording')}"
    page = _Page(end)
    height = TOP + len(rows) * ROW + 30
    step = _tick_step(end)
    for t in range(0, end + 1, step):
        page.parts.append(f'<text x="{page.x(t):.1f}" y="{height - 12}" class="tick">'
                          f'{_tick_label(t, step)}</text>')
    for index, (user, lane) in reversed(list(enumerate(rows.items()))):
        _row(page, user, lane, TOP + index * ROW, end)
    legend = ("Grey bar: in the room (dashed orange outline: its connection dropped); blue bar: "
              "speech heard by the bot, pink where audio frames were lost; thin purple line: video "
              "offered (light) and received by the bot (dark); thin strip: network "
              "quality (green good to red bad, light grey before the first report); dots: "
              "messages (purple), errors and missed commands (red), the bot's sends (teal), "
              "set-up and connection changes (grey); orange diamonds: network faults; a number: "
              "marks at one spot. Hover over anything for its details.")
    return f"""<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>{html.escape(title)}</title>
<style>
body {{ font-family: sans-serif; margin: 16px; }}
svg {{ overflow: visible; }}
.who {{ font-size: 13px; }} .tick {{ font-size: 10px; fill: #666; text-anchor: middle; }}
.count {{ font-size: 8px; fill: #fff; text-anchor: middle; pointer-events: none; }}
.rule {{ stroke: #eee; }}
.tip {{ visibility: hidden; pointer-events: none; }}
.tip rect {{ fill: #fffff0; stroke: #999; }}
.tip text {{ font-size: 11px; font-family: monospace; fill: #222; }}
.item:hover .tip {{ visibility: visible; }}
</style></head>
<body><h1 style="font-size:16px">{html.escape(title)}</h1>
<p style="font-size:12px">{html.escape(legend)}</p>
<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{height}">
{chr(10).join(page.parts)}
</svg></body></html>
"""


def _quality_name(value):
    try:
        return v.NetworkQuality(value).name[len("NETWORK_QUALITY_"):].lower()
    except ValueError:
        return str(value)


def write_html(recording, path, title=None):
    with open(path, "w", encoding="utf-8") as out:
        out.write(render(recording, title))
    return path
