import threading

import pytest


@pytest.fixture
def small_stack():
    """Runs work() on a thread with a 1 MiB native stack and returns its result.

    A recursive walk over a 100,000-level tree would overflow a stack this size.
    """

    def run(work):
        outcome = {}

        def target():
            try:
                outcome["value"] = work()
            except BaseException as e:
                outcome["error"] = e

        old = threading.stack_size(1 << 20)
        try:
            thread = threading.Thread(target=target)
            thread.start()
            thread.join()
        finally:
            threading.stack_size(old)
        if "error" in outcome:
            raise outcome["error"]
        return outcome["value"]

    return run
