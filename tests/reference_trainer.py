"""A small, direct Python model of the merge trainer, used to check the C++ one.

It follows the algorithm step by step with plain dicts and lists: split the
corpus into whitespace-led chunks, count, merge the best pair with per-step
delta tables, finalise log-probabilities and bigrams. Slow, but obviously
right; only meant for small corpora.
"""

import math
from collections import Counter
from dataclasses import dataclass, field

WHITESPACE = b"\t\n\r "


def split_corpus(corpus: bytes) -> dict[bytes, int]:
    counts: Counter[bytes] = Counter()
    current = bytearray()
    for byte in corpus:
        if byte in WHITESPACE:
            if current:
                counts[bytes(current)] += 1
            current = bytearray([byte])
        else:
            current.append(byte)
    if corpus:
        counts[bytes(current)] += 1
    return dict(counts)


def h(x: float) -> float:
    return -x * math.log2(x)


def unigram_entropy(unigrams: dict[int, int]) -> float:
    n = sum(unigrams.values())
    if n == 0:
        return 0.0
    return sum(h(c / n) for c in unigrams.values() if c > 0)


@dataclass
class Merge:
    left: int
    right: int
    count: int  # weighted pair count before the merge
    score: float
    entropy_phase: bool


@dataclass
class Model:
    tokens: list[bytes]
    merges: list[Merge] = field(default_factory=list)
    log_probs: list[float] = field(default_factory=list)
    bigrams: dict[tuple[int, int], float] = field(default_factory=dict)
    initial: tuple[int, float] = (0, 0.0)  # (total tokens, entropy) before merging
    after_step: list[tuple[int, float]] = field(default_factory=list)  # the same after each merge
    final: tuple[int, int, float] = (0, 0, 0.0)  # (active tokens, total tokens, entropy)

    @property
    def vocab_size(self) -> int:
        return len(self.tokens)


def recount(sequences):
    pairs: Counter = Counter()
    unigrams: Counter = Counter()
    for ids, w in sequences:
        for i, x in enumerate(ids):
            unigrams[x] += w
            if i + 1 < len(ids):
                pairs[(x, ids[i + 1])] += w
    return dict(pairs), dict(unigrams)


def compress_score(len_ab: int, c: int) -> float:
    return float(len_ab) * float(c)


def entropy_score(len_ab: int, c: int, ca: int, cb: int, n: int) -> float:
    n2 = n - c
    if n == 0 or n2 <= 0:
        factor = 1.0
    else:
        old = (h(ca / n) if ca > 0 else 0.0) + (h(cb / n) if cb > 0 else 0.0)
        new = (
            (h((ca - c) / n2) if ca - c > 0 else 0.0)
            + (h((cb - c) / n2) if cb - c > 0 else 0.0)
            + h(c / n2)
        )
        factor = (new - old) * 0.3 + 1.0
    return factor * (float(len_ab) * float(c)) ** 0.7


def apply_merge(sequences, pairs, unigrams, a, b, t):
    pair_delta: Counter = Counter()
    uni_delta: Counter = Counter()
    for seq in sequences:
        ids, w = seq
        out = []
        k = 0
        n = len(ids)
        replaced = False
        while k < n:
            if k + 1 < n and ids[k] == a and ids[k + 1] == b:
                if out:
                    p = out[-1]
                    pair_delta[(p, a)] -= w
                    pair_delta[(p, t)] += w
                if k + 2 < n:
                    y = ids[k + 2]
                    pair_delta[(b, y)] -= w
                    pair_delta[(t, y)] += w
                pair_delta[(a, b)] -= w
                uni_delta[a] -= w
                uni_delta[b] -= w
                uni_delta[t] += w
                out.append(t)
                k += 2
                replaced = True
            else:
                out.append(ids[k])
                k += 1
        if replaced:
            seq[0] = out
    for table, delta in ((pairs, pair_delta), (unigrams, uni_delta)):
        for key, d in delta.items():
            v = table.get(key, 0) + d
            if v <= 0:
                table.pop(key, None)
            else:
                table[key] = v


def train(corpus: bytes, vocab_size: int) -> Model:
    """Trains like the system does: among equally scored pairs the smallest
    (left, right) is merged."""
    tokens = [bytes([b]) for b in range(256)]
    sequences = [[list(chunk), w] for chunk, w in split_corpus(corpus).items()]
    pairs, unigrams = recount(sequences)
    m = max(vocab_size - 256, 0)
    model = Model(tokens)
    model.initial = (sum(unigrams.values()), unigram_entropy(unigrams))
    boundary = 9 * m // 10
    for i in range(m):
        entropy_phase = i >= boundary
        if not pairs:
            break
        n = sum(unigrams.values())
        best = None
        for (a, b), c in pairs.items():
            if c <= 0:
                continue
            len_ab = len(tokens[a]) + len(tokens[b])
            if entropy_phase:
                score = entropy_score(len_ab, c, unigrams.get(a, 0), unigrams.get(b, 0), n)
            else:
                score = compress_score(len_ab, c)
            if best is None or (-score, a, b) < (-best[0], best[1], best[2]):
                best = (score, a, b, c)
        if best is None:
            break
        score, a, b, c = best
        t = len(tokens)
        tokens.append(tokens[a] + tokens[b])
        apply_merge(sequences, pairs, unigrams, a, b, t)
        model.merges.append(Merge(a, b, c, score, entropy_phase))
        model.after_step.append((sum(unigrams.values()), unigram_entropy(unigrams)))
    pairs, unigrams = recount(sequences)
    n = sum(unigrams.values())
    model.log_probs = [
        (math.log(unigrams.get(i, 0.5) / n) if n > 0 else 0.0) for i in range(len(tokens))
    ]
    rows: Counter = Counter()
    for (a, _), c in pairs.items():
        rows[a] += c
    model.bigrams = {(a, b): math.log(c / rows[a]) for (a, b), c in pairs.items() if c != 0}
    model.final = (len(unigrams), n, unigram_entropy(unigrams))
    return model
