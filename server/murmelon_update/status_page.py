"""The status (status.py) as one self-contained HTML page: per flavour a stacked
chart of the players per build over the days, the share of a rollout over the days, and
the installs and failed installs of each day's newest build, as inline SVG beside the
numbers. Nothing is loaded from elsewhere: no script at all, no font, no image, and a
content security policy that would refuse any (a browser reports what it refused)."""

import html

# The newest build of a flavour always has the first colour; older ones take the others
# in turn, newest first. No two builds of one chart share a colour.
BUILD_COLOURS = ("#1565c0", "#f9a825", "#8e24aa", "#00897b", "#6d4c41", "#c0ca33", "#d81b60", "#546e7a")
OLDEST_COLOUR = "#bdbdbd"   # the builds beyond the palette, together
SHARE_COLOUR = "#ef6c00"
INSTALLED_COLOUR = "#2e7d32"
FAILED_COLOUR = "#c62828"
COLUMN, GAP, LEFT, CHART, TOP = 28, 8, 44, 200, 10   # pixels: a day's bar, between bars, axis, chart, above it

STYLE = """body{font:14px sans-serif;margin:16px;color:#212121;background:#fff}
h1{font-size:20px}h2{font-size:17px;margin-top:28px}
table{border-collapse:collapse;margin:8px 0}td,th{padding:2px 8px;text-align:right;border-bottom:1px solid #e0e0e0}
td{white-space:nowrap}td:first-child,th:first-child{text-align:left}.key{display:inline-block;width:12px;height:12px;margin:0 4px 0 12px}
svg text{font:11px sans-serif;fill:#424242}"""


def colours(builds):
    ordered = sorted(builds, reverse=True)
    return {b: BUILD_COLOURS[i] if i < len(BUILD_COLOURS) else OLDEST_COLOUR for i, b in enumerate(ordered)}


def frame(width, top, ticks, label):
    """Axis lines and labels of a chart CHART pixels high whose top value is `top`."""
    parts = [f'<line x1="{LEFT}" y1="{CHART}" x2="{width}" y2="{CHART}" stroke="#9e9e9e"/>']
    for value in ticks:
        y = CHART - value * CHART / top if top else CHART
        parts.append(f'<line x1="{LEFT - 4}" y1="{y:.1f}" x2="{width}" y2="{y:.1f}" stroke="#eeeeee"/>'
                     f'<text x="{LEFT - 6}" y="{y + 4:.1f}" text-anchor="end">{value}{label}</text>')
    return "".join(parts)


def x_of(i):
    return LEFT + GAP + i * (COLUMN + GAP)


def day_labels(span):
    return "".join(f'<text x="{x_of(i) + COLUMN / 2:.1f}" y="{CHART + 14}" text-anchor="middle">{d[8:]}</text>'
                   for i, d in enumerate(span))


def svg(name, width, body):
    height = TOP + CHART + 20
    return (f'<svg id="{name}" width="{width}" height="{height}" viewBox="0 0 {width} {height}" '
            f'shape-rendering="crispEdges" role="img"><g transform="translate(0 {TOP})">{body}</g></svg>')


def players_chart(flavour, span, by_day, palette):
    width = x_of(len(span)) + GAP
    top = max((d.players for d in by_day.values()), default=0) or 1
    bars = []
    for i, day in enumerate(span):
        y = CHART
        rects = []
        for build, n in sorted(by_day[day].builds().items()) if day in by_day else ():
            height = n * CHART / top
            y -= height
            rects.append(f'<rect x="{x_of(i)}" y="{y:.3f}" width="{COLUMN}" height="{height:.3f}" '
                         f'fill="{palette[build]}"><title>{day}: {n} on {build}</title></rect>')
        bars.append(f'<g class="day" data-day="{day}">{"".join(rects)}</g>')
    ticks = sorted({0, top // 2, top})
    return svg(f"{flavour}-players", width, frame(width, top, ticks, "") + "".join(bars) + day_labels(span))


def share_chart(flavour, span, by_day):
    width = x_of(len(span)) + GAP
    points = [(x_of(i) + COLUMN / 2, CHART - by_day[d].share * CHART / 100) for i, d in enumerate(span) if d in by_day]
    line = " ".join(f"{x:.1f},{y:.1f}" for x, y in points)
    dots = "".join(f'<circle cx="{x:.1f}" cy="{y:.1f}" r="3" fill="{SHARE_COLOUR}"/>' for x, y in points)
    body = frame(width, 100, (0, 50, 100), "%") + (
        f'<polyline points="{line}" fill="none" stroke="{SHARE_COLOUR}" stroke-width="2" '
        f'shape-rendering="auto"/>' if points else "") + dots + day_labels(span)
    return svg(f"{flavour}-share", width, body)


def installs_chart(flavour, span, by_day):
    width = x_of(len(span)) + GAP
    sums = {d: by_day[d].summary() for d in span if d in by_day}
    top = max((max(s["installed"], s["failed"]) for s in sums.values()), default=0) or 1
    half = COLUMN // 2
    bars = []
    for i, day in enumerate(span):
        for offset, key, colour in ((0, "installed", INSTALLED_COLOUR), (half, "failed", FAILED_COLOUR)):
            n = sums[day][key] if day in sums else 0
            if n:
                height = n * CHART / top
                bars.append(f'<rect x="{x_of(i) + offset}" y="{CHART - height:.3f}" width="{half}" '
                            f'height="{height:.3f}" fill="{colour}"><title>{day}: {n} {key}</title></rect>')
    return svg(f"{flavour}-installs", width, frame(width, top, sorted({0, top // 2, top}), "") + "".join(bars)
               + day_labels(span))


def table(days):
    heads = ("day", "checks", "players", "share", "newest build", "offered", "downloads whole", "installed",
             "install failed", "players per build")
    rows = []
    for d in days:
        s = d.summary()
        cells = (d.day, d.checks, d.players, f"{d.share}%", d.newest or "-", s["offered"], s["whole"],
                 s["installed"], s["failed"], ", ".join(f"{b}: {n}" for b, n in d.builds().items()))
        rows.append("<tr>" + "".join(f"<td>{html.escape(str(c))}</td>" for c in cells) + "</tr>")
    return ("<table><tr>" + "".join(f"<th>{h}</th>" for h in heads) + "</tr>" + "".join(rows) + "</table>")


def legend(palette):
    return "<p>" + "".join(f'<span class="key" style="background:{c}"></span>build {b}'
                           for b, c in sorted(palette.items(), reverse=True)) + "</p>"


def page(status, heading=""):
    span = status.span
    parts = []
    for flavour, days in status.flavours.items():
        by_day = {d.day: d for d in days}
        palette = colours({b for d in days for b in d.builds()})
        name = html.escape(flavour)
        parts.append(
            f"<section><h2>{name}</h2><h3>Players per build</h3>{legend(palette)}"
            f"{players_chart(name, span, by_day, palette)}"
            f"<h3>Share of the rollout</h3>{share_chart(name, span, by_day)}"
            f"<h3>Installs of the day's newest build</h3><p>"
            f'<span class="key" style="background:{INSTALLED_COLOUR}"></span>came back on it'
            f'<span class="key" style="background:{FAILED_COLOUR}"></span>came back on an older build '
            f"after a whole download</p>{installs_chart(name, span, by_day)}{table(days)}</section>")
    if not status.flavours:
        parts.append("<p>No checks in these days.</p>")
    files = status.files
    source = html.escape(files[-1] if files else "no log") + (f" and {len(files) - 1} rotated" if len(files) > 1 else "")
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">"
            f"<title>Murmelon releases, {span[0]} to {span[-1]}</title><style>{STYLE}</style></head><body>"
            f"<h1>Murmelon releases, {span[0]} to {span[-1]}</h1><p>Checks in {source}.</p>"
            f"<pre>{html.escape(heading)}</pre>" + "".join(parts) + "</body></html>\n")
