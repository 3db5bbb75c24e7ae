"""A seeded set of corrupted sources: every call completes or raises, in a child
interpreter that neither crashes nor hangs, and no master playlist names a
rendition without a complete media playlist. `make fuzz` runs a larger set."""

import concurrent.futures

import pytest

from fuzzing import SEEDS, describe, make_seeds, try_case

BASE_SEED = "suite"
CASES_PER_KIND = 12
TIMEOUT = 120  # seconds; a call takes well under one, ten under sanitizers


@pytest.fixture(scope="session")
def seeds(tmp_path_factory):
    return make_seeds(tmp_path_factory.mktemp("fuzz_seeds"))


@pytest.mark.parametrize("kind", sorted(SEEDS))
def test_corrupted_sources_complete_or_raise(seeds, tmp_path, kind):
    # Case i corrupts seed number i % len(SEEDS) (kinds in sorted order).
    first = sorted(SEEDS).index(kind)
    indices = [first + len(SEEDS) * n for n in range(CASES_PER_KIND)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        reports = list(
            pool.map(lambda i: try_case(seeds, i, BASE_SEED, tmp_path, TIMEOUT, keep=True), indices)
        )
    assert {r["kind"] for r in reports} == {kind}
    wrong = [
        describe(r) for r in reports if r["outcome"] not in ("completed", "raised") or r["faults"]
    ]
    assert wrong == [], "\n".join(wrong)
