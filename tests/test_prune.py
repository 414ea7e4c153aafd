"""Vocabulary pruning."""
import json
import threading
from collections import Counter

import pytest

from tarvik_core import QormTokenizer


def token_table(tok):
    return [tok.id_to_bytes(i) for i in range(tok.vocab_size)]


def saved(tok, path):
    """The saved document, bigrams as a dict (their order in the file is not fixed)."""
    tok.save(str(path))
    doc = json.loads(path.read_text())
    doc["bigrams"] = {(b["left"], b["right"]): b["log_prob"] for b in doc["bigrams"]}
    return doc


def load(doc, path, context_weight=0.3):
    bigrams = [{"left": l, "right": r, "log_prob": v} for (l, r), v in doc["bigrams"].items()]
    path.write_text(json.dumps({**doc, "bigrams": bigrams}))
    return QormTokenizer.from_file(str(path), context_weight=context_weight)


def base_records():
    return [{"id": i, "bytes": [i], "log_prob": -5.0, "merge_pair": None} for i in range(256)]


def assert_encoder_rebuilt(tok, path, sample):
    """The pruned tokenizer encodes as a fresh load of what it saves, and losslessly."""
    tok.save(str(path))
    loaded = QormTokenizer.from_file(str(path))
    for encode in (
        lambda t: t.encode(sample), lambda t: t.encode(sample, greedy=True), lambda t: t.encode_dense(sample)
    ):
        ids = encode(tok)
        assert ids == encode(loaded)
        assert tok.decode_bytes(ids) == sample


# --- a literal case -----------------------------------------------------------


GOLDEN_TOKENS = [
    {"id": 256, "bytes": [97, 98], "log_prob": -1.0, "merge_pair": [97, 98]},  # ab
    {"id": 257, "bytes": [97, 98, 99], "log_prob": -2.0, "merge_pair": [256, 99]},  # abc
    {"id": 258, "bytes": [99, 100], "log_prob": -3.0, "merge_pair": [99, 100]},  # cd
    {"id": 259, "bytes": [97, 98, 99, 100], "log_prob": -4.0, "merge_pair": [257, 100]},  # abcd
    {"id": 260, "bytes": [99, 100, 99, 100], "log_prob": -5.0, "merge_pair": [258, 258]},  # cdcd
    {"id": 261, "bytes": list(b"<s>"), "log_prob": 0.0, "merge_pair": None},
]
CD = {"bytes": [99, 100], "log_prob": -3.0, "merge_pair": [99, 100]}
# abcd's part abc is gone: the pair keeps its old id 257.
ABCD = {"bytes": [97, 98, 99, 100], "log_prob": -4.0, "merge_pair": [257, 100]}
S = {"bytes": list(b"<s>"), "log_prob": 0.0, "merge_pair": None}


@pytest.mark.parametrize(
    "target, kept, bigrams",
    [
        # Room for two learned tokens: cd, then abcd before the equally used cdcd.
        (259, [CD, ABCD, S], {(97, 98): -2.0, (257, 258): -3.0, (258, 256): -5.0}),
        # Room for three: cdcd comes too, its pair renumbered with cd.
        (260, [CD, ABCD, {"bytes": [99, 100, 99, 100], "log_prob": -5.0, "merge_pair": [256, 256]}, S],
         {(97, 98): -2.0, (257, 259): -3.0, (259, 256): -5.0, (258, 256): -6.0}),
    ],
)
def test_golden_prune(tmp_path, capfd, target, kept, bigrams):
    doc = {
        "version": "0.1.1", "tokens": base_records() + GOLDEN_TOKENS, "vocab_size": 262,
        "bigrams": {(256, 258): -1.0, (97, 98): -2.0, (259, 261): -3.0, (257, 100): -4.0,
                    (261, 258): -5.0, (260, 258): -6.0},
        "special_tokens": [{"name": "<s>", "id": 261, "bytes": list(b"<s>")}],
    }
    tok = load(doc, tmp_path / "model.json")
    # Greedy use: cd x3, abcd x2, cdcd x2, ab x1, abc x0.
    tok.prune_vocab(target, "abcd abcd ab cd cd cd cdcd cdcd")
    assert capfd.readouterr().err == f"Pruned vocab: 262 -> {target} tokens\n"
    special = target - 1
    assert saved(tok, tmp_path / "out.json") == {
        "version": "0.1.1",
        "tokens": base_records() + [{"id": 256 + k, **record} for k, record in enumerate(kept)],
        "bigrams": bigrams,
        "vocab_size": target,
        "special_tokens": [{"name": "<s>", "id": special, "bytes": list(b"<s>")}],
    }
    assert tok.get_special_token_id("<s>") == special
    assert tok.encode("abcd<s>cd", greedy=True) == [257, special, 256]


# --- properties on random vocabularies ------------------------------------------


def random_model(rng):
    """A vocabulary shaped like a trained one: merged tokens made of earlier
    tokens, with distinct bytes (so a test can tell them apart), specials last."""
    tokens = base_records()
    for record in tokens:
        record["log_prob"] = rng.randrange(-40, 0) / 4
    known = {bytes([b]) for b in range(256)}
    parts = list(b"abcd")
    for _ in range(rng.randrange(0, 40)):
        left, right = rng.choice(parts), rng.choice(parts)
        data = bytes(tokens[left]["bytes"] + tokens[right]["bytes"])
        if data in known or len(data) > 6:
            continue
        known.add(data)
        parts.append(len(tokens))
        tokens.append({"id": len(tokens), "bytes": list(data), "log_prob": rng.randrange(-40, 0) / 4,
                       "merge_pair": [left, right]})
    specials = []
    for name in rng.sample(["<s>", "</s>", "<pad>"], rng.randrange(0, 4)):
        special = {"name": name, "id": len(tokens), "bytes": list(name.encode())}
        specials.append(special)
        tokens.append({"id": special["id"], "bytes": special["bytes"], "log_prob": 0.0, "merge_pair": None})
    ends = parts + [s["id"] for s in specials] + [rng.randrange(256)]
    bigrams = {(rng.choice(ends), rng.choice(ends)): rng.randrange(-40, 0) / 4
               for _ in range(rng.randrange(0, 60))}
    return {"version": "0.1.1", "tokens": tokens, "bigrams": bigrams, "vocab_size": len(tokens),
            "special_tokens": specials}


def check_pruned(before, after, used, target):
    """The rules of pruning, stated as properties of the documents before and after."""
    if target >= before["vocab_size"]:
        assert after == before
        return
    specials = before["special_tokens"]
    tokens = after["tokens"]
    n, s = len(tokens), len(specials)
    # Exactly the target, but never fewer than the bytes and the specials; ids dense.
    assert after["vocab_size"] == n == max(target, 256 + s)
    assert [t["id"] for t in tokens] == list(range(n))
    assert tokens[:256] == before["tokens"][:256]
    # Specials come last, in their order, under new ids.
    renamed = [{**special, "id": n - s + k} for k, special in enumerate(specials)]
    assert after["special_tokens"] == renamed
    assert tokens[n - s:] == [
        {"id": sp["id"], "bytes": sp["bytes"], "log_prob": 0.0, "merge_pair": None} for sp in renamed
    ]
    # The learned tokens that stayed, told apart by their bytes, keep their table order...
    special_ids = {sp["id"] for sp in specials}
    learned = [t for t in before["tokens"][256:] if t["id"] not in special_ids]
    old_id = {bytes(t["bytes"]): t["id"] for t in learned}
    kept = [old_id[bytes(t["bytes"])] for t in tokens[256:n - s]]
    assert kept == sorted(kept)
    # ...and are the most used ones; among equally used, the earlier ones.
    removed = [t["id"] for t in learned if t["id"] not in kept]
    if kept and removed:
        assert max((-used[i], i) for i in kept) < min((-used[i], i) for i in removed)
    # Merge pairs and bigrams follow the tokens to their new ids; a removed
    # part keeps its old id, a bigram with a removed end is dropped.
    new_id = {i: i for i in range(256)}
    new_id.update({old: 256 + k for k, old in enumerate(kept)})
    new_id.update({sp["id"]: n - s + k for k, sp in enumerate(specials)})
    for token, old in zip(tokens[256:n - s], kept):
        source = before["tokens"][old]
        assert (token["bytes"], token["log_prob"]) == (source["bytes"], source["log_prob"])
        assert token["merge_pair"] == [new_id.get(part, part) for part in source["merge_pair"]]
    assert after["bigrams"] == {
        (new_id[l], new_id[r]): v for (l, r), v in before["bigrams"].items() if l in new_id and r in new_id
    }


def test_random_vocabularies(rng, tmp_path, capfd):
    for _ in range(30):
        before = random_model(rng)
        tok = load(before, tmp_path / "model.json")
        size = before["vocab_size"]
        names = [sp["name"] for sp in before["special_tokens"]]
        # Every token's text may occur, so that any of them may be used most.
        pieces = [bytes(t["bytes"]).decode() for t in before["tokens"][97:101] + before["tokens"][256:]]
        corpus = " ".join(rng.choice(pieces) for _ in range(rng.randrange(0, 100)))
        used = Counter(tok.encode(corpus, greedy=True))
        target = rng.choice([0, 255, 256, 256 + len(names), size - 1, size, size + 1, rng.randrange(256, size + 2)])
        written = saved(tok, tmp_path / "before.json")
        tok.prune_vocab(target, corpus)
        after = saved(tok, tmp_path / "after.json")
        assert capfd.readouterr().err == f"Pruned vocab: {size} -> {after['vocab_size']} tokens\n"
        check_pruned(written, after, used, target)
        assert_encoder_rebuilt(tok, tmp_path / "rebuilt.json", corpus.encode())


# --- on a trained vocabulary --------------------------------------------------------


@pytest.mark.parametrize("target", [0, 255, 256, 257, 300, 350, 401, 402, 10**6])
def test_prune_targets(fresh, corpus, capfd, tmp_path, target):
    text = corpus[50_000:90_000]
    fresh.add_special_token("<eos>")  # added after construction: not in the trie yet
    old_size = fresh.vocab_size
    table = token_table(fresh)
    specials = fresh.special_tokens()

    fresh.prune_vocab(target, text)

    assert capfd.readouterr().err == f"Pruned vocab: {old_size} -> {fresh.vocab_size} tokens\n"
    new_table = token_table(fresh)
    if target >= old_size:
        assert new_table == table
        assert fresh.special_tokens() == specials
    else:
        assert fresh.vocab_size == len(fresh) == max(target, 257)
        assert new_table[:256] == [bytes([b]) for b in range(256)]
        assert fresh.special_tokens() == [("<eos>", len(new_table) - 1)]
        assert new_table[-1] == b"<eos>"
        # What stayed of the learned tokens is a part of them in their old order.
        rest = iter(table[256:-1])
        assert all(any(token == old for old in rest) for token in new_table[256:-1])
    # The rebuilt encoder knows the late special token.
    assert fresh.encode("x<eos>y", greedy=True)[1] == fresh.get_special_token_id("<eos>")
    assert_encoder_rebuilt(fresh, tmp_path / "pruned.json", corpus[:3000])


def test_prune_empty_corpus_keeps_first_merges(fresh):
    table = token_table(fresh)
    fresh.prune_vocab(260, b"")
    assert token_table(fresh) == table[:260]


def test_prune_keeps_filters_and_weight(tmp_path):
    tokens = base_records() + [
        {"id": 256 + k, "bytes": list(data), "log_prob": -1.0, "merge_pair": None}
        for k, data in enumerate([b"ab", b"abc", b"cd", b"zz"])
    ]
    for record in tokens[:256]:
        record["log_prob"] = -1.0
    ab, abc, cd = 256, 257, 258
    doc = {"version": "0.1.1", "tokens": tokens, "vocab_size": 260, "special_tokens": [],
           "bigrams": {(abc, ord("d")): -0.5, (ab, cd): -8.0}}
    # With weight 0 the bigrams do not count and ab+cd wins the tie with abc+d;
    # with the default 0.3 they would make it abc+d.
    tok = load(doc, tmp_path / "model.json", context_weight=0.0)
    tok.add_filter("lowercase")
    assert tok.encode("ABCD") == [ab, cd]
    tok.prune_vocab(259, "abcd ab cd abc")  # removes the unused zz
    assert tok.vocab_size == 259
    assert tok.active_filters() == ["lowercase_ascii"]
    assert tok.encode("ABCD") == [ab, cd]


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
    saved_doc = json.loads(path.read_text())
    assert saved_doc["vocab_size"] == 257
    assert saved_doc["tokens"][256] == {"id": 256, "bytes": [97, 98, 99], "log_prob": -1.0, "merge_pair": [256, 99]}
    assert saved_doc["bigrams"] == [{"left": 97, "right": 98, "log_prob": -0.5}]


def test_prune_ties_keep_earlier_tokens(fresh):
    table = token_table(fresh)
    fresh.prune_vocab(257, b"")
    assert token_table(fresh)[256] == table[256]


def test_prune_below_256_is_internal_fault(tmp_path, internal_error):
    doc = {"version": "x", "tokens": [{"id": i, "bytes": [i], "log_prob": 0.0} for i in range(10)],
           "bigrams": [], "vocab_size": 20}
    path = tmp_path / "small.json"
    path.write_text(json.dumps(doc))
    tok = QormTokenizer.from_file(str(path))
    with pytest.raises(internal_error) as info:
        tok.prune_vocab(5, b"")
    assert str(info.value) == "cannot prune a vocabulary of 10 tokens: the 256 byte tokens are missing"
    assert tok.vocab_size == 20
    assert [tok.id_to_bytes(i) for i in range(10)] == [bytes([i]) for i in range(10)]


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


def test_calls_waiting_on_a_prune_are_not_refused(fresh, capfd):
    # The prune writes its report line with the interpreter lock released; a
    # thread waiting for the lock runs then, and must find the hold gone. The
    # calls here keep the lock throughout, so the prune is never refused and
    # the other thread runs only between bytecodes or during that write.
    corpus = b"the quick brown fox jumps over the lazy dog " * 2_000
    errors = []
    done = threading.Event()

    def prune():
        try:
            for size in (390, 380, 370):
                fresh.prune_vocab(size, corpus)
        finally:
            done.set()

    worker = threading.Thread(target=prune)
    worker.start()
    while not done.is_set():
        try:
            len(fresh)
            fresh.special_tokens()
        except RuntimeError as e:
            errors.append(str(e))
    worker.join(timeout=60)
    assert errors == []
    assert capfd.readouterr().err.count("Pruned vocab: ") == 3
    assert fresh.vocab_size == 370
