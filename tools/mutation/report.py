"""The run's report: report.json (everything) and report.txt (per folder, then the
survivors with file:line and the change)."""

import json
import os

COLUMNS = ("generated", "killed", "survived", "timed out", "equivalent", "not viable")


def tally(results):
    counts = dict.fromkeys(COLUMNS, 0)
    for result in results:
        counts["generated"] += 1
        counts[result["status"]] += 1
    return counts


def score(counts):
    """Caught (killed or timed out) of the mutants that count: built, not equivalent."""
    counted = counts["generated"] - counts["not viable"] - counts["equivalent"]
    caught = counts["killed"] + counts["timed out"]
    return (100.0 * caught / counted) if counted else None


def _row(name, counts, width):
    value = score(counts)
    shown = f"{value:5.1f}%" if value is not None else "    -"
    return f"{name:<{width}}" + "".join(f"{counts[c]:>11}" for c in COLUMNS) + f"  {shown}"


def summarise(summary):
    by_language = {"cxx": [], "python": []}
    by_folder = {}
    for result in summary["mutants"]:
        by_language[result["language"]].append(result)
        by_folder.setdefault(result["folder"], []).append(result)
    folders = {folder: tally(items) for folder, items in sorted(by_folder.items())}
    totals = {language: tally(items) for language, items in by_language.items()}
    return folders, totals


def _minutes(seconds):
    return f"{seconds // 60} min {seconds % 60} s"


def text(summary):
    folders, totals = summarise(summary)
    width = max([len(f) for f in folders] + [14]) + 2
    drawn = [f"{summary[k]} {name}" for k, name in (("sample", "C/C++"), ("python_sample", "Python"))
             if summary.get(k) is not None]
    sample = (f"a sample of {' and '.join(drawn)} mutants (seed {summary['seed']})" if drawn else "every mutant")
    lines = [f"Mutation run of {summary['revision']}: {sample}, "
             f"{summary['generated']['cxx']} C/C++ and {summary['generated']['python']} Python made",
             f"{summary['command']}  ({summary['jobs']} at a time, {_minutes(summary['seconds'])}"
             + (f", of which {_minutes(summary['measuring_seconds'])} building and measuring"
                if "measuring_seconds" in summary else "") + f"; finished {summary['finished']})",
             *(["STOPPED before the end: only the mutants below were tried."] if summary.get("stopped") else []),
             *([f"Its {summary['again']['mutants']} survivors run again on {summary['again']['revision']}: "
                f"{summary['again']['command']}  ({_minutes(summary['again']['seconds'])}; finished "
                f"{summary['again']['finished']})"] if summary.get("again") else []),
             "",
             f"{'Folder':<{width}}" + "".join(f"{c:>11}" for c in COLUMNS) + "   score"]
    for folder, counts in folders.items():
        lines.append(_row(folder, counts, width))
    lines.append("")
    lines.append(_row("C and C++", totals["cxx"], width))
    lines.append(_row("Python", totals["python"], width))
    lines.append("Score: killed and timed out, of those built and not judged equivalent.")
    survivors = [r for r in summary["mutants"] if r["status"] == "survived"]
    lines += ["", f"Survivors ({len(survivors)}):"]
    for result in survivors:
        lines.append(f"  {result['path']}:{result['line']}  {result['function']}  {result['operator']}: "
                     f"`{result['original']}` -> `{result['replacement']}`  [{result['key']}] "
                     f"({result.get('note', '')})")
    timed_out = [r for r in summary["mutants"] if r["status"] == "timed out"]
    if timed_out:
        lines += ["", f"Timed out ({len(timed_out)}):"]
        lines += [f"  {r['path']}:{r['line']}  {r['operator']}: `{r['original']}` -> `{r['replacement']}`  "
                  f"[{r['key']}] in {r['by']}" for r in timed_out]
    equivalent = [r for r in summary["mutants"] if r["status"] == "equivalent"]
    if equivalent:
        lines += ["", f"Judged equivalent ({len(equivalent)}):"]
        lines += [f"  {r['path']}:{r['line']}  {r['operator']}: `{r['original']}` -> `{r['replacement']}`  "
                  f"[{r['key']}]: {r['judged']}" for r in equivalent]
    wrong = [r for r in summary["mutants"] if r.get("judged") and r["status"] != "equivalent"]
    if wrong:
        lines += ["", "Judged equivalent, but not a survivor (the judgement is wrong or stale):"]
        lines += [f"  {r['identity']}: {r['status']} {r.get('by', '')}" for r in wrong]
    if summary["stale_judgements"]:
        lines += ["", "Judgements that name no mutant of this revision:"]
        lines += [f"  {identity}" for identity in summary["stale_judgements"]]
    if summary["failing_without_mutants"]:
        lines += ["", "Tests failing without any mutant (left out of this run):"]
        lines += [f"  {name}" for name in summary["failing_without_mutants"]]
    return "\n".join(lines) + "\n"


def write(summary, folder):
    os.makedirs(folder, exist_ok=True)
    folders, totals = summarise(summary)
    document = dict(summary, folders=folders, totals=totals,
                    scores={k: score(v) for k, v in totals.items()})
    with open(os.path.join(folder, "report.json"), "w") as handle:
        json.dump(document, handle, indent=1)
    with open(os.path.join(folder, "report.txt"), "w") as handle:
        handle.write(text(summary))
