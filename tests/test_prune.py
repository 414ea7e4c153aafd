"""Vocabulary pruning."""
import json
import threading

import pytest

from tarvik_core import QormTokenizer


def token_table(tok):
    return [tok.id_to_bytes(i) for i in range(tok.vocab_size)]


def reference_prune(table, specials, greedy_ids, target):
    """Expected (kept learned byte strings, in table order) for a trained vocabulary."""
    counts = {}
    for i in greedy_ids:
        counts[i] = counts.get(i, 0) + 1
    special_ids = {i for _, i in specials}
    candidates = [(i, counts.get(i, 0)) for i in range(256, len(table)) if i not in special_ids]
    candidates.sort(key=lambda c: -c[1])  # stable
    budget = max(target - 256 - len(specials), 0) if target >= 256 + len(specials) else 0
    keep = {i for i, _ in candidates[:budget]}
    return [table[i] for i in range(256, len(table)) if i in keep and i not in special_ids]


@pytest.mark.parametrize("target", [0, 255, 256, 257, 300, 350, 401, 402, 10**6])
def test_prune_targets(fresh, corpus, capfd, target):
    text = corpus[50_000:90_000]
    fresh.add_special_token("<eos>")  # added after construction: not in the trie yet
    old_size = fresh.vocab_size
    table = token_table(fresh)
    specials = fresh.special_tokens()
    greedy = fresh.encode(text, greedy=True)
    expected_learned = reference_prune(table, specials, greedy, target)

    fresh.prune_vocab(target, text)

    assert capfd.readouterr().err == f"Pruned vocab: {old_size} -> {fresh.vocab_size} tokens\n"
    if target >= old_size:
        assert token_table(fresh) == table
        assert fresh.special_tokens() == specials
    else:
        new_table = token_table(fresh)
        assert new_table[:256] == [bytes([b]) for b in range(256)]
        assert new_table[256:-1] == expected_learned
        assert fresh.special_tokens() == [("<eos>", len(new_table) - 1)]
        assert fresh.vocab_size == (target if target >= 257 and len(expected_learned) == target - 257
                                    else 257 + len(expected_learned))
    # the rebuilt encoder now knows the late special token and decodes losslessly
    assert fresh.encode("x<eos>y", greedy=True)[1] == fresh.get_special_token_id("<eos>")
    sample = corpus[:3000]
    assert fresh.decode_bytes(fresh.encode(sample)) == sample


def test_prune_empty_corpus_keeps_first_merges(fresh):
    table = token_table(fresh)
    fresh.prune_vocab(260, b"")
    assert token_table(fresh) == table[:260]


def test_prune_keeps_filters_and_weight(fresh, tmp_path):
    fresh.add_filter("lowercase")
    fresh.prune_vocab(300, "some text")
    assert fresh.active_filters() == ["lowercase_ascii"]


def test_prune_remaps_merge_pairs_and_bigrams(fresh, tmp_path):
    path = tmp_path / "before.json"
    fresh.save(str(path))
    before = json.loads(path.read_text())
    fresh.prune_vocab(300, b"")  # keeps the first 44 merges: all their parts are kept too
    fresh.save(str(path))
    after = json.loads(path.read_text())
    assert after["tokens"][:300] == before["tokens"][:300]
    pairs_before = {(b["left"], b["right"]): b["log_prob"] for b in before["bigrams"]}
    pairs_after = {(b["left"], b["right"]): b["log_prob"] for b in after["bigrams"]}
    assert pairs_after == {k: v for k, v in pairs_before.items() if k[0] < 300 and k[1] < 300}


def test_prune_leaves_removed_parts_unmapped(tmp_path):
    # tokens: 256 = a+b, 257 = 256+c; keep only 257 by usage: its pair keeps the old id 256.
    tokens = [{"id": i, "bytes": [i], "log_prob": -5.0, "merge_pair": None} for i in range(256)]
    tokens.append({"id": 256, "bytes": [97, 98], "log_prob": -1.0, "merge_pair": [97, 98]})
    tokens.append({"id": 257, "bytes": [97, 98, 99], "log_prob": -1.0, "merge_pair": [256, 99]})
    doc = {"version": "0.1.1", "tokens": tokens, "bigrams": [{"left": 97, "right": 98, "log_prob": -0.5}],
           "vocab_size": 258, "special_tokens": []}
    path = tmp_path / "m.json"
    path.write_text(json.dumps(doc))
    tok = QormTokenizer.from_file(str(path))
    tok.prune_vocab(257, "abc abc")
    tok.save(str(path))
    saved = json.loads(path.read_text())
    assert saved["vocab_size"] == 257
    assert saved["tokens"][256] == {"id": 256, "bytes": [97, 98, 99], "log_prob": -1.0, "merge_pair": [256, 99]}
    assert saved["bigrams"] == [{"left": 97, "right": 98, "log_prob": -0.5}]


def test_prune_ties_keep_earlier_tokens(fresh):
    table = token_table(fresh)
    fresh.prune_vocab(257, b"")
    assert token_table(fresh)[256] == table[256]


def test_prune_below_256_is_internal_fault(tmp_path):
    doc = {"version": "x", "tokens": [{"id": i, "bytes": [i], "log_prob": 0.0} for i in range(10)],
           "bigrams": [], "vocab_size": 20}
    path = tmp_path / "small.json"
    path.write_text(json.dumps(doc))
    tok = QormTokenizer.from_file(str(path))
    with pytest.raises(BaseException) as info:
        tok.prune_vocab(5, b"")
    assert not isinstance(info.value, Exception)
    assert tok.vocab_size == 20


def test_prune_argument_errors_change_nothing(fresh):
    table = token_table(fresh)
    with pytest.raises(OverflowError):
        fresh.prune_vocab(-1, b"")
    with pytest.raises(TypeError, match="^corpus must be str or bytes$"):
        fresh.prune_vocab(300, None)
    assert token_table(fresh) == table


def test_exclusive_calls_refused_while_encoding(fresh):
    text = b"the quick brown fox " * 400_000  # long enough to keep a thread busy
    started = threading.Event()
    done = threading.Event()

    def encode():
        started.set()
        while not done.is_set():
            fresh.encode(text)

    worker = threading.Thread(target=encode)
    worker.start()
    try:
        started.wait()
        refused = set()
        for _ in range(2000):
            for name, call in (
                ("add_filter", lambda: fresh.add_filter("lowercase")),
                ("add_special_token", lambda: fresh.add_special_token("<x>")),
                ("prune_vocab", lambda: fresh.prune_vocab(300, b"")),
            ):
                try:
                    call()
                except RuntimeError as e:
                    assert str(e) == "Already borrowed"
                    refused.add(name)
            if len(refused) == 3:
                break
    finally:
        done.set()
        worker.join()
    assert refused == {"add_filter", "add_special_token", "prune_vocab"}
