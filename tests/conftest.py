import pytest

import kovra_api


def pytest_report_header():
    # Which build the suite runs against: the installed wheel, the venv, the sanitizer's copy.
    return f"kovra_api: {kovra_api.__file__}"


@pytest.fixture
def diff():
    return kovra_api.PyGraphDiff()
