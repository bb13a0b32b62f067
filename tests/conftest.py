import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "support"))


def pytest_report_header():
    from harness import BUILD
    return f"kestrovane modules from {BUILD}"
