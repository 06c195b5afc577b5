"""What the Python tool tests share: checks that note a failure and go on, and waits for a condition."""
import sys
import time

failures = []


def check(condition, message):
    """Notes a failure (printed at once) and gives the condition back; the script fails at its end."""
    if not condition:
        failures.append(message)
        print("FAILED: " + message, file=sys.stderr)
    return condition


def wait_for(condition, bound):
    """Looks at the condition until it holds or the bound (seconds) has passed; its last value."""
    end = time.monotonic() + bound
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    return condition()
