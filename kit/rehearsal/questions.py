"""Varnholt's questions on the display: seen through their windows and Wine's trace of each
text, answered in order with keys, each confirmed closed."""
import re
import subprocess
import time

QUESTION_WINDOW = "^Error$"
TRACE = re.compile(r'^[0-9a-f]+:trace:msgbox:MSGBOX_OnInit L"(.*)"$')
# How long a question may stay open after its key, and how often the key is pressed at most.
CLOSE_WAIT, PRESSES = 3.0, 5


def xdotool(session, *args):
    """xdotool's words, or none when it fails or does not answer within its bound."""
    try:
        result = subprocess.run(["xdotool", *args], env=session.env, capture_output=True,
                                text=True, timeout=10)
    except subprocess.TimeoutExpired:
        return []
    return result.stdout.split() if result.returncode == 0 else []


def shown(session):
    """The question windows shown on the display."""
    return xdotool(session, "search", "--onlyvisible", "--name", QUESTION_WINDOW)


def unescape_trace(text):
    return re.sub(r'\\(.)', lambda m: {"n": "\n", "t": "\t"}.get(m[1], m[1]), text)


def traced(path):
    """The question texts traced so far in a stderr file. It is read through a descriptor of its
    own: the one the program writes through shares its offset with the runner's."""
    with open(path, "rb") as f:
        lines = f.read().decode("utf-8", "replace").splitlines()
    return [unescape_trace(m[1]) for m in map(TRACE.match, lines) if m]


class Questions:
    """Answers the questions of one case in order, each once its window is shown and its trace
    written, so that no window but the case's own question is taken for it; confirms that the
    window closed, and presses again, a bounded number of times, when it did not."""

    def __init__(self, session, answers, stderr):
        self.session, self.answers, self.stderr = session, answers, stderr
        self.before = set(shown(session))
        self.answered, self.problems = [], []
        self.open = None  # the window last answered, its key, presses, and when last pressed

    def press(self, window, key):
        # The key goes to the input focus, given to the question's own window just before it;
        # xdotool presses nothing once that window is gone.
        xdotool(self.session, "windowfocus", window, "key", key)

    def poll(self):
        """One look at the display; False once a question would not close."""
        windows = [w for w in shown(self.session) if w not in self.before]
        if self.open:
            window, key, presses, when = self.open
            if window not in windows:
                self.open = None
            elif time.monotonic() - when > CLOSE_WAIT:
                if presses == PRESSES:
                    self.problems.append(f"question {len(self.answered)} stayed open after "
                                         f"{PRESSES} presses of {key!r}")
                    return False
                self.press(window, key)
                self.open = (window, key, presses + 1, time.monotonic())
            return True
        new = [w for w in windows if w not in self.answered]
        if new and len(traced(self.stderr)) > len(self.answered):
            index = len(self.answered)
            expected = index < len(self.answers)
            if not expected:
                self.problems.append("a question that was not expected")
            key = "y" if expected and self.answers[index] == "yes" else "n"
            self.press(new[0], key)
            self.answered.append(new[0])
            self.open = (new[0], key, 1, time.monotonic())
        return True
