"""The merge trainer and its console output.

Results are checked against tests/reference_trainer.py, a plain Python model
of the algorithm with the same tie rule (the smallest pair among equal
scores), so the merges must match outright.
"""

import json
import math
import os
import re
import signal
import subprocess
import sys
import textwrap

import pytest

import reference_trainer as ref
import tarvik_core

FULL, LIGHT = "\u2588", "\u2591"
NUM = r"\d+\.\d"  # an elapsed time or ETA with one decimal


def train(corpus: bytes, vocab_size: int, **kwargs):
    kwargs.setdefault("show_progress", False)
    return tarvik_core.QormTokenizer(corpus, vocab_size=vocab_size, check_quality=False, **kwargs)


def model_of(tokenizer, tmp_path):
    """(merges, log_probs, bigrams) read back through a saved model file."""
    path = tmp_path / "model.json"
    tokenizer.save(str(path))
    data = json.loads(path.read_text())
    merges = [tuple(t["merge_pair"]) for t in data["tokens"][256:]]
    log_probs = [t["log_prob"] for t in data["tokens"]]
    bigrams = {(b["left"], b["right"]): b["log_prob"] for b in data["bigrams"]}
    return merges, log_probs, bigrams


def close(x: float, y: float) -> bool:
    # The model file keeps floats exact to within one unit in the last place.
    return abs(x - y) <= math.ulp(max(abs(x), abs(y)))


def assert_matches_reference(corpus: bytes, vocab_size: int, tmp_path):
    tok = train(corpus, vocab_size)
    merges, log_probs, bigrams = model_of(tok, tmp_path)
    expected = ref.train(corpus, vocab_size)
    assert merges == [(m.left, m.right) for m in expected.merges]
    assert tok.vocab_size == 256 + len(merges) == expected.vocab_size
    for i, token in enumerate(expected.tokens):
        assert tok.id_to_bytes(i) == token
    assert len(log_probs) == len(expected.log_probs)
    assert all(close(x, y) for x, y in zip(log_probs, expected.log_probs))
    assert bigrams.keys() == expected.bigrams.keys()
    assert all(close(bigrams[k], expected.bigrams[k]) for k in bigrams)
    return expected


# --- the worked example ----------------------------------------------------


def test_worked_example_model(tmp_path):
    tok = train(b"ab ab", 258)
    merges, log_probs, bigrams = model_of(tok, tmp_path)
    assert merges == [(97, 98), (32, 256)]
    assert tok.vocab_size == 258
    assert tok.id_to_bytes(256) == b"ab" and tok.id_to_bytes(257) == b" ab"
    assert log_probs[256] == log_probs[257] == math.log(1 / 2)
    assert log_probs[:256] == [math.log(0.5 / 2)] * 256
    assert bigrams == {}


def test_worked_example_console(capfd):
    train(b"ab ab", 258, verbose=True, show_progress=True)
    err = capfd.readouterr().err
    expected = (
        re.escape("Starting training: 256 base tokens, target 2 merges\n")
        + re.escape("Initial: 5 total tokens, entropy = 1.5219 bits\n")
        + re.escape(f"\r  [{FULL * 15}{LIGHT * 15}] 50% | 1/2 merges | compress | ")
        + f"{NUM}s elapsed \\| ETA {NUM}s  "
        + re.escape(f"\r  [{FULL * 30}] 100% | 2/2 merges | entropy | ")
        + f"{NUM}s elapsed \\| ETA {NUM}s  "
        + re.escape(f"\r  [{FULL * 30}] 100% | 2/2 merges | done | ")
        + f"{NUM}s total {{10}}\n"
        + re.escape(
            "Training complete: vocab_size=258, active_tokens=2, total_tokens=2,"
            " entropy=1.0000 bits\n"
        )
    )
    assert re.fullmatch(expected, err), err


@pytest.mark.parametrize(
    "vocab_size, expected",
    [
        # One merge requested: the entropy phase. Chunks "ab" x1, " ab" x4,
        # " xyz" x1 (N = 18). (a, b) covers more bytes (5 x 2 = 10) but removes
        # both letters; (space, a) keeps more entropy: factor 1.0101 x 8^0.7 =
        # 4.3303 beats 0.8511 x 10^0.7 = 4.2654.
        (257, [(32, 97)]),
        # Two merges: the first is in the compress phase, where (a, b) wins 10 to 8.
        (258, [(97, 98), (32, 256)]),
    ],
)
def test_entropy_phase_can_prefer_a_rarer_pair(vocab_size, expected, tmp_path):
    merges, _, _ = model_of(train(b"ab ab ab ab ab xyz", vocab_size), tmp_path)
    assert merges == expected


# --- agreement with the reference model --------------------------------------

ALPHABETS = [
    b"ab", b"abc", b"ab \n", b"abcd \t", bytes(range(250, 256)) + b" ", b"aaab ", b"a\0\r "
]


@pytest.mark.parametrize("case", range(40))
def test_random_corpora_match_reference(case, rng, tmp_path):
    alphabet = rng.choice(ALPHABETS)
    corpus = bytes(rng.choice(alphabet) for _ in range(rng.randint(0, 600)))
    # Small targets stay in the 16-bit layout, huge ones use the wide layout.
    vocab_size = rng.choice([rng.randint(240, 400), rng.randint(40_000, 10**6)])
    assert_matches_reference(corpus, vocab_size, tmp_path)


def test_ties_go_to_the_smallest_pair(tmp_path):
    # (a, b), (space, c) and (c, d) all cover two bytes: (32, 99) is smallest.
    merges, _, _ = model_of(train(b"ab cd", 300), tmp_path)
    assert merges[0] == (32, 99)


@pytest.mark.parametrize("case", range(15))
def test_repeated_word_corpora_match_reference(case, rng, tmp_path):
    # Few letters, repeated words: many steps with several equally scored pairs.
    words = [bytes(rng.choice(b"abcdef") for _ in range(rng.randint(1, 6))) for _ in range(8)]
    corpus = b" ".join(rng.choice(words) * rng.randint(1, 3) for _ in range(rng.randint(5, 60)))
    assert_matches_reference(corpus, rng.randint(258, 300), tmp_path)


TRAIN_IN_CHILD = textwrap.dedent(
    """
    import hashlib, sys
    import tarvik_core
    corpus = open(sys.argv[1], "rb").read()
    tok = tarvik_core.QormTokenizer(corpus, vocab_size=int(sys.argv[2]), show_progress=False,
                                    check_quality=False)
    tok.save(sys.argv[3])
    """
)


def test_training_is_the_same_in_every_process(corpus, tmp_path):
    # Hash seeds differ between processes; the vocabulary must not.
    (tmp_path / "corpus").write_bytes(corpus[:300_000])
    models = []
    for run in range(2):
        out = tmp_path / f"model{run}.json"
        subprocess.run(
            [sys.executable, "-c", TRAIN_IN_CHILD, str(tmp_path / "corpus"), "2000", str(out)],
            check=True,
            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
        )
        data = json.loads(out.read_text())
        bigrams = {(b["left"], b["right"], b["log_prob"]) for b in data["bigrams"]}
        models.append((data["tokens"], bigrams))
    assert models[0] == models[1]


def test_real_text_matches_reference(corpus, tmp_path):
    # Enough merges for the arena compaction and the entropy phase to run.
    assert_matches_reference(corpus[:40_000], 600, tmp_path)


@pytest.mark.parametrize(
    "corpus, vocab_size",
    [
        pytest.param(b"", 300, id="empty"),
        pytest.param(b"   ", 300, id="three-spaces"),
        pytest.param(b"a" * 40_000, 300, id="one-byte-run"),  # a token longer than 32 KiB
        pytest.param(b"\0\0\x01\0 \0\0", 270, id="nul-bytes"),
        pytest.param(b"\xff\xfe\xe2\x82 \xe2\x82\xac\xc3", 270, id="invalid-utf8"),
        pytest.param(bytes(range(256)) * 8, 400, id="all-bytes"),
        pytest.param(b"abcabdabeabf" * 200, 330, id="no-whitespace"),
        pytest.param(b"a a a a b b", 256, id="m-zero"),
        pytest.param(b"ab ab ac", 257, id="m-one"),
    ],
)
def test_edge_corpora_match_reference(corpus, vocab_size, tmp_path):
    assert_matches_reference(corpus, vocab_size, tmp_path)


def test_random_bytes_match_reference(rng, tmp_path):
    corpus = bytes(rng.randrange(256) for _ in range(3000))
    assert_matches_reference(corpus, 320, tmp_path)


# --- specific results ----------------------------------------------------------


def test_empty_corpus_keeps_zero_log_probs(tmp_path):
    tok = train(b"", 300)
    merges, log_probs, bigrams = model_of(tok, tmp_path)
    assert (merges, bigrams, tok.vocab_size) == ([], {}, 256)
    assert log_probs == [0.0] * 256


def test_three_spaces(tmp_path):
    _, log_probs, bigrams = model_of(train(b"   ", 300), tmp_path)
    assert log_probs[32] == 0.0
    assert all(lp == math.log(0.5 / 3) for i, lp in enumerate(log_probs) if i != 32)
    assert bigrams == {}


@pytest.mark.parametrize("vocab_size", [0, 100, 256])
def test_no_merges_still_finalises(vocab_size, tmp_path):
    tok = train(b"ab ab a", vocab_size)
    merges, log_probs, bigrams = model_of(tok, tmp_path)
    assert merges == [] and tok.vocab_size == 256
    assert log_probs[ord("a")] == math.log(3 / 7)
    assert bigrams == {(97, 98): 0.0, (32, 97): 0.0}


def test_overlapping_run_counts_pair_twice_and_merges_it_once(capfd, tmp_path):
    # Chunks "aaa" x1, " aaa" x2, " bc" x5. Each [a a a] holds the pair (a, a)
    # twice, so it counts 6 and wins the compress step with 12 against the 10
    # of (space, b) and (b, c); counted once per run it would lose. The merge
    # replaces it once per run: [t a], so t and a both occur 3 times in the
    # final 18 tokens (t, a, space, " b" x5, c x5 and the 3 [t a] pairs).
    tok = train(b"aaa aaa aaa bc bc bc bc bc", 258, verbose=True)
    merges, log_probs, _ = model_of(tok, tmp_path)
    assert merges == [(97, 97), (32, 98)]
    assert log_probs[256] == log_probs[97] == math.log(3 / 18)
    assert "active_tokens=5, total_tokens=18," in capfd.readouterr().err


def test_huge_target_stops_when_pairs_run_out(capfd):
    # Nothing may be sized by the target: training stops as soon as every
    # chunk is one token, and the counters still show the target asked for.
    tok = train(b"the cat sat on the mat " * 50, 10**12, verbose=True, show_progress=True)
    err = capfd.readouterr().err
    steps = int(re.search(r"No more merges available at step (\d+)\n", err).group(1))
    assert tok.vocab_size == 256 + steps < 300
    m = 10**12 - 256
    assert f"| {m}/{m} merges | done |" in err
    # 7 distinct chunks, 301 in all, each now a single token.
    assert f"vocab_size={256 + steps}, active_tokens=7, total_tokens=301," in err


def test_properties_on_real_text(corpus, tmp_path):
    tok = train(corpus[:200_000], 1500)
    merges, log_probs, bigrams = model_of(tok, tmp_path)
    assert tok.vocab_size == 256 + len(merges) == 1500
    for i, (left, right) in enumerate(merges, start=256):
        assert tok.id_to_bytes(i) == tok.id_to_bytes(left) + tok.id_to_bytes(right)
        assert left < i and right < i
    rows: dict[int, float] = {}
    for (left, _), value in bigrams.items():
        rows[left] = rows.get(left, 0.0) + math.exp(value)
    assert all(abs(total - 1.0) < 1e-9 for total in rows.values())
    assert all(lp <= 0.0 for lp in log_probs)


# --- console output ----------------------------------------------------------


def progress_lines(err: str) -> list[str]:
    return [part for part in err.split("\r") if part.startswith("  [")]


def test_progress_bar_for_eight_merges(capfd):
    train(b"abcdefghij abcdefghij", 264, show_progress=True)
    lines = progress_lines(capfd.readouterr().err)
    assert len(lines) == 9  # eight merges and the closing line
    assert lines[0].startswith(f"  [{FULL * 3}{LIGHT * 27}] 12% | 1/8 merges | compress | ")
    assert lines[3].startswith(f"  [{FULL * 15}{LIGHT * 15}] 50% | 4/8 merges | compress | ")
    assert lines[7].startswith(f"  [{FULL * 30}] 100% | 8/8 merges | entropy | ")
    closing = rf"  \[{FULL * 30}\] 100% \| 8/8 merges \| done \| {NUM}s total {{10}}\n"
    assert re.fullmatch(closing, lines[8])


def test_phase_boundary_at_ten_merges(capfd):
    train(b"abcdefghijkl abcdefghijkl", 266, show_progress=True)
    lines = progress_lines(capfd.readouterr().err)[:-1]
    assert [line.split(" | ")[2] for line in lines] == ["compress"] * 9 + ["entropy"]


def test_progress_interval_for_many_merges(corpus, capfd):
    train(corpus[:100_000], 256 + 500, show_progress=True)
    lines = progress_lines(capfd.readouterr().err)
    # interval 25: 20 redraws, then the closing line.
    counters = [line.split(" | ")[1] for line in lines[:-1]]
    assert counters == [f"{25 * k}/500 merges" for k in range(1, 21)]


def test_early_stop_line(capfd):
    # Five merges exhaust "abcdef"; fifty were asked for.
    train(b"abcdef", 306, verbose=True, show_progress=True)
    err = capfd.readouterr().err
    assert re.search(
        rf"\| 5/50 merges \| compress \| {NUM}s elapsed \| ETA {NUM}s  "
        r"No more merges available at step 5\n"
        rf"\r  \[{FULL * 30}\] 100% \| 50/50 merges \| done \| {NUM}s total {{10}}\n"
        r"Training complete: vocab_size=261, active_tokens=1, total_tokens=1,"
        r" entropy=0\.0000 bits\n$",
        err,
    ), err


def test_empty_corpus_log(capfd):
    train(b"", 300, verbose=True)
    assert capfd.readouterr().err == (
        "Starting training: 256 base tokens, target 44 merges\n"
        "Initial: 0 total tokens, entropy = 0.0000 bits\n"
        "No more merges available at step 0\n"
        "Training complete: vocab_size=256, active_tokens=0, total_tokens=0, entropy=0.0000 bits\n"
    )


def test_no_merges_log(capfd):
    train(b"ab", 200, verbose=True, show_progress=True)
    assert capfd.readouterr().err == (
        "Starting training: 256 base tokens, target 0 merges\n"
        "Initial: 2 total tokens, entropy = 1.0000 bits\n"
        "Training complete: vocab_size=256, active_tokens=2, total_tokens=2, entropy=1.0000 bits\n"
    )


def test_silent_when_both_flags_off(capfd):
    train(b"ab ab cd", 300, verbose=False, show_progress=False)
    assert capfd.readouterr().err == ""


def test_step_lines_match_reference(corpus, capfd):
    sample = corpus[:20_000]
    train(sample, 256 + 200, verbose=True)
    err = capfd.readouterr().err
    model = ref.train(sample, 256 + 200)
    text = lambda i: model.tokens[i].decode("utf-8", "replace")
    for s in (100, 200):
        merge = model.merges[s - 1]
        total, entropy = model.after_step[s - 1]
        line = (
            f"\nStep {s}/200: merged {text(merge.left)} + {text(merge.right)} -> {text(255 + s)}"
            f" (count={merge.count}, score={merge.score:.2f}, tokens={total}, H={entropy:.4f})\n"
        )
        assert line in err
    assert err.count("\nStep ") == 2


# --- interruption ------------------------------------------------------------

SIGINT_CHILD = textwrap.dedent(
    """
    import os
    import tarvik_core
    # Random letters without whitespace: one huge chunk, tens of seconds of work.
    corpus = os.urandom(20_000_000).translate(bytes(97 + i % 26 for i in range(256)))
    try:
        tarvik_core.QormTokenizer(corpus, vocab_size=8192, verbose=True, show_progress=False,
                                  check_quality=False)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    """
)


def test_sigint_interrupts_training():
    child = subprocess.Popen(
        [sys.executable, "-c", SIGINT_CHILD],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    try:
        # The first log line comes from inside the trainer: the signal arrives
        # while it runs, not before the constructor was entered.
        started = child.stderr.readline()
        assert started.startswith("Starting training:"), started
        child.send_signal(signal.SIGINT)
        # A hang guard only, far above what the interruption takes.
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert out == "interrupted\n"
    assert child.returncode == 0
    # A run that finished and only then met the signal would have printed this.
    assert "Training complete" not in err
