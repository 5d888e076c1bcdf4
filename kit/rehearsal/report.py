"""What a run reports: a line for each failed case and a closing line on stdout, and with --junit
a JUnit XML file for CI systems. The file is written before the first case, every case in it
not run yet, and again after each case, so that a run ended early, even killed, leaves a report
in which what did not run counts as an error, never as passed."""
import os
import re
import time
import xml.etree.ElementTree as ET

# What XML 1.0 cannot carry and Wine's lines may hold.
UNFIT = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


class Report:
    def __init__(self, table, cases, path=None):
        """For the cases chosen from a table; writes the first report to path, if given."""
        self.suite, self.path = os.path.splitext(table)[0], path
        self.started = time.time()
        self.results = []  # name, winearch, problems, Wine's lines, seconds; None: not run
        self.pending = [c["name"] for c in cases]
        self.case = None
        self.write("not run: the run ended before it")

    def start(self, name):
        self.case = (name, time.monotonic())

    def finish(self, winearch, problems, wine_lines):
        name, started = self.case
        if problems:
            print(self.line(name, winearch, problems), flush=True)
        self.results.append((name, winearch, problems, wine_lines, time.monotonic() - started))
        self.pending.remove(name)
        self.case = None
        self.write("not run: the run ended before it")

    def close(self, why=None):
        """The closing line and the last report, or, for a run ended early, only the report,
        whose unfinished case and cases not run say why."""
        if why is None:
            failed = sum(bool(problems) for _, _, problems, _, _ in self.results)
            print(f"{len(self.results) - failed} passed, {failed} failed")
        self.write(f"not run: {why}", f"ended while running: {why}")
        return why is None and bool(self.results) and not any(r[2] for r in self.results)

    @staticmethod
    def line(name, winearch, problems):
        return f"FAIL {name} ({winearch}): {'; '.join(problems)}"

    def write(self, not_run, running=None):
        if not self.path:
            return
        suite = ET.Element("testsuite", name=self.suite, timestamp=time.strftime(
            "%Y-%m-%dT%H:%M:%S", time.gmtime(self.started)))
        counts = {"tests": 0, "failures": 0, "errors": 0, "time": 0.0}
        for name, winearch, problems, lines, seconds in self.results:
            case = self.add(suite, counts, name, seconds)
            if problems:
                counts["failures"] += 1
                text = clean(self.line(name, winearch, problems))
                ET.SubElement(case, "failure", message=text).text = text
            if lines:
                ET.SubElement(case, "system-err").text = clean("\n".join(lines) + "\n")
        for name in self.pending:
            now = bool(running and self.case and self.case[0] == name)
            seconds, why = (time.monotonic() - self.case[1], running) if now else (0.0, not_run)
            counts["errors"] += 1
            ET.SubElement(self.add(suite, counts, name, seconds), "error", message=why).text = why
        suite.attrib.update({k: f"{v:.3f}" if k == "time" else str(v) for k, v in counts.items()})
        suites = ET.Element("testsuites", {k: suite.get(k) for k in counts})
        suites.append(suite)
        ET.indent(suites)
        part = self.path + ".part"
        with open(part, "wb") as f:
            ET.ElementTree(suites).write(f, encoding="UTF-8", xml_declaration=True)
            f.write(b"\n")
        os.replace(part, self.path)

    def add(self, suite, counts, name, seconds):
        counts["tests"] += 1
        counts["time"] += seconds
        return ET.SubElement(suite, "testcase", classname=self.suite, name=clean(name),
                             time=f"{seconds:.3f}")


def clean(text):
    return UNFIT.sub("\ufffd", text)
