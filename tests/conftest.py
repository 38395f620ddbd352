import pytest

import kovra_api


@pytest.fixture
def diff():
    return kovra_api.PyGraphDiff()
