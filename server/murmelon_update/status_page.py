"""The status (status.py) as one self-contained HTML page: per flavour the state of each
published build and the next step, a stacked chart of the players per build over the
days with the crash-free runs of each build beside it, the share offered the day's newest
build, and the installs and failed installs of that build, as inline SVG beside the
numbers. Nothing is loaded from elsewhere: no script at all, no font, no image, and a
content security policy that would refuse any (a browser reports what it refused)."""

import html

from . import status_text
from .watch_rule import MIN_RUNS

# The newest build served has the first colour; older ones take the others in turn,
# newest first. A withdrawn build (rolled back from) takes a red of its own instead, so it
# never reads as the newest. No two builds of one chart share a colour.
BUILD_COLOURS = ("#1565c0", "#f9a825", "#8e24aa", "#00897b", "#6d4c41", "#c0ca33", "#d81b60", "#546e7a")
WITHDRAWN_COLOURS = ("#b71c1c", "#e57373", "#880e4f")
OLDEST_COLOUR = "#bdbdbd"   # the builds beyond the palette, together
SHARE_COLOUR = "#ef6c00"
INSTALLED_COLOUR = "#2e7d32"
FAILED_COLOUR = "#c62828"
COLUMN, GAP, LEFT, CHART, TOP = 28, 8, 44, 200, 10   # pixels: a day's bar, between bars, axis, chart, above it

STYLE = """body{font:14px sans-serif;margin:16px;color:#212121;background:#fff}
h1{font-size:20px}h2{font-size:17px;margin-top:28px}
table{border-collapse:collapse;margin:8px 0}td,th{padding:2px 8px;text-align:right;border-bottom:1px solid #e0e0e0}
td{white-space:nowrap}td:first-child,th:first-child{text-align:left}.key{display:inline-block;width:12px;height:12px;margin:0 4px 0 12px}
svg text{font:11px sans-serif;fill:#424242}.charts{display:flex;flex-wrap:wrap;gap:24px}
.state{margin:2px 0}.withdrawn{color:#b71c1c}.paused{color:#fff;background:#c62828;padding:2px 6px}
.step{font-weight:bold}"""


def colours(builds, withdrawn=()):
    ordered = sorted((b for b in builds if b not in withdrawn), reverse=True)
    palette = {b: BUILD_COLOURS[i] if i < len(BUILD_COLOURS) else OLDEST_COLOUR for i, b in enumerate(ordered)}
    gone = sorted((b for b in builds if b in withdrawn), reverse=True)
    palette.update({b: WITHDRAWN_COLOURS[min(i, len(WITHDRAWN_COLOURS) - 1)] for i, b in enumerate(gone)})
    return palette


def frame(width, top, ticks, label):
    """Axis lines and labels of a chart CHART pixels high whose top value is `top`."""
    parts = [f'<line x1="{LEFT}" y1="{CHART}" x2="{width}" y2="{CHART}" stroke="#9e9e9e"/>']
    for value in ticks:
        y = CHART - value * CHART / top if top else CHART
        text = label(value) if callable(label) else f"{value}{label}"
        parts.append(f'<line x1="{LEFT - 4}" y1="{y:.1f}" x2="{width}" y2="{y:.1f}" stroke="#eeeeee"/>'
                     f'<text x="{LEFT - 6}" y="{y + 4:.1f}" text-anchor="end">{text}</text>')
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


def crash_free_chart(flavour, span, by_day, palette):
    """Per build a line of its crash-free runs per day (days of too few runs left out),
    from LOW to 100%."""
    rates = {}
    for i, day in enumerate(span):
        for build, runs in sorted(by_day[day].runs.items()) if day in by_day else ():
            reports, crashed, _, _ = runs.rates()  # as the table has them
            if reports >= MIN_RUNS:
                rates.setdefault(build, []).append((i, day, 100 * (reports - crashed) / reports))
    low = min([95.0] + [max(0.0, float(int(r) - 1)) for points in rates.values() for _, _, r in points])
    width = x_of(len(span)) + GAP
    body = [frame(width, 100 - low, (0, (100 - low) / 2, 100 - low), lambda v: f"{v + low:g}%")]
    for build, points in sorted(rates.items()):
        xy = [(x_of(i) + COLUMN / 2, CHART - (r - low) * CHART / (100 - low), day, r) for i, day, r in points]
        body.append(f'<polyline points="{" ".join(f"{x:.1f},{y:.1f}" for x, y, _, _ in xy)}" fill="none" '
                    f'stroke="{palette.get(build, OLDEST_COLOUR)}" stroke-width="2" shape-rendering="auto"/>')
        body += [f'<circle cx="{x:.1f}" cy="{y:.1f}" r="3" fill="{palette.get(build, OLDEST_COLOUR)}">'
                 f'<title>{day}: build {build}, {r:.2f}% of runs crash-free</title></circle>' for x, y, day, r in xy]
    if not rates:
        body.append(f'<text x="{(LEFT + width) / 2:.1f}" y="{CHART / 2:.1f}" text-anchor="middle">'
                    f'fewer than {MIN_RUNS} runs a day</text>')
    return svg(f"{flavour}-crash-free", width, "".join(body) + day_labels(span))


def share_chart(flavour, span, by_day):
    width = x_of(len(span)) + GAP
    points = [(x_of(i) + COLUMN / 2, CHART - by_day[d].share_of(by_day[d].newest) * CHART / 100)
              for i, d in enumerate(span) if d in by_day]
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


def table(columns, rows):
    """Rows of cells; a row that is a text alone spans the columns after the first."""
    def cells_html(cells):
        if isinstance(cells, str):
            return f'<td></td><td colspan="{len(columns) - 1}" style="text-align:left">{html.escape(cells)}</td>'
        return "".join(f"<td>{html.escape(str(c))}</td>" for c in cells)

    return "<table><tr>" + "".join(f"<th>{html.escape(f'{h} {u}'.strip())}</th>" for h, u, _ in columns) + \
        "</tr>" + "".join(f"<tr>{cells_html(cells)}</tr>" for cells in rows) + "</table>"


def build_table(flavour, days, status, named):
    rows = []
    for cells, faults in status_text.build_rows(flavour, days, status, named):
        rows.append(cells)
        if faults:
            rows.append(f"faults of {cells[1].split()[0]}: {faults}")
    return table(status_text.BUILD_COLUMNS, rows)


def legend(palette, withdrawn=()):
    return "<p>" + "".join(f'<span class="key" style="background:{c}"></span>build {b}'
                           + (' <span class="withdrawn">(withdrawn)</span>' if b in withdrawn else "")
                           for b, c in sorted(palette.items(), reverse=True)) + "</p>"


def states_html(states, step):
    out = []
    for build, state in states:  # (status_text.state_lines)
        kind = "paused" if state.startswith("paused") else "withdrawn" if state.startswith("withdrawn") else ""
        out.append(f'<p class="state"><span class="{kind}">build {build}: {html.escape(state)}</span></p>')
    if step:
        out.append(f'<p class="step">next step: {html.escape(step)}</p>')
    return "".join(out)


def page(status, heading="", states=None, steps=None):
    span = status.span
    states, steps = states or {}, steps or {}
    parts = []
    for flavour, days in status.flavours.items():
        by_day = {d.day: d for d in days}
        withdrawn = {b for b, state in states.get(flavour, []) if state.startswith("withdrawn")}
        palette = colours({b for d in days for b in list(d.builds()) + list(d.runs)}, withdrawn)
        name = html.escape(flavour)
        named = dict(states.get(flavour, []))
        parts.append(
            f"<section><h2>{name}</h2>"
            f"{states_html(status_text.state_lines(states.get(flavour, []), days), steps.get(flavour, ''))}"
            f"<h3>Players per build, and their crash-free runs</h3>{legend(palette, withdrawn)}"
            f'<div class="charts">{players_chart(name, span, by_day, palette)}'
            f"{crash_free_chart(name, span, by_day, palette)}</div>"
            f"<h3>Share offered the day's newest build</h3>{share_chart(name, span, by_day)}"
            f"<h3>Installs of the day's newest build</h3><p>"
            f'<span class="key" style="background:{INSTALLED_COLOUR}"></span>came back on it'
            f'<span class="key" style="background:{FAILED_COLOUR}"></span>came back on an older build '
            f"after a whole download</p>{installs_chart(name, span, by_day)}"
            + table(status_text.DAY_COLUMNS, status_text.day_rows(days, named))
            + build_table(flavour, days, status, named) + "</section>")
    if not status.flavours:
        parts.append("<p>No checks in these days.</p>")
    files = status.files
    source = html.escape(files[-1] if files else "no log") + (f" and {len(files) - 1} rotated" if len(files) > 1 else "")
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">"
            f"<title>Murmelon releases, {span[0]} to {span[-1]}</title><style>{STYLE}</style></head><body>"
            f"<h1>Murmelon releases, {span[0]} to {span[-1]}</h1><p>Checks in {source}.</p>"
            f"<pre>{html.escape(status_text.skipped(status) + heading)}</pre>" + "".join(parts)
            + elsewhere(status) + "</body></html>\n")


def elsewhere(status):
    rows = list(status_text.elsewhere_rows(status))
    return f"<h2>Checks of builds no release of the site serves</h2>{table(status_text.ELSEWHERE_COLUMNS, rows)}" \
        if rows else ""
