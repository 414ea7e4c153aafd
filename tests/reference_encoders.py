"""A plain-Python statement of the three encoders, for comparison with the module.

Written for clarity, not speed: the trie is a set of prefixes plus a map from
byte string to id (the later table entry wins), walked one byte at a time.
When a pass cannot reach the end of its input (a non-finite weight, or a byte
with a trie entry but no single-byte token) the greedy segmentation is the
answer, as in the module.
"""

from __future__ import annotations

import math

UNSEEN_PAIR_SCORE = -10.0
PARALLEL_THRESHOLD = 131072
CHUNK_SIZE = 65536


class IndexFault(Exception):
    """An id outside the token table, with the module's message."""

    def __init__(self, length: int, index: int):
        super().__init__(f"index out of bounds: the len is {length} but the index is {index}")


class Reference:
    def __init__(self, tokens, bigrams=None, context_weight=0.3):
        """tokens: list of (id, bytes, log_prob) in table order; bigrams: {(left, right): value}."""
        self.table = [(i, bytes(b), lp) for i, b, lp in tokens]
        self.bigrams = dict(bigrams or {})
        self.weight = context_weight
        self.prefixes = set()
        self.terminal = {}
        for token_id, data, _ in self.table:
            for k in range(1, len(data) + 1):
                self.prefixes.add(data[:k])
            self.terminal[data] = token_id
        self.max_len = max((len(b) for _, b, _ in self.table), default=1) if self.table else 1

    def walk(self, data: bytes, p: int):
        """(first step succeeded, [(id, end), ...]) for the tokens that match at p."""
        limit = min(len(data), p + self.max_len)
        found = []
        for end in range(p + 1, limit + 1):
            piece = data[p:end]
            if piece not in self.prefixes:
                return end != p + 1, found
            if piece in self.terminal:
                found.append((self.terminal[piece], end))
        return True, found

    def log_prob(self, token_id: int) -> float:
        if token_id >= len(self.table):
            raise IndexFault(len(self.table), token_id)
        return self.table[token_id][2]

    def greedy(self, data: bytes) -> list[int]:
        ids, pos = [], 0
        while pos < len(data):
            choice, length = data[pos], 1
            for token_id, end in self.walk(data, pos)[1]:
                choice, length = token_id, end - pos
            ids.append(choice)
            pos += length
        return ids

    def scored(self, data: bytes) -> list[int]:
        n = len(data)
        if n == 0:
            return []
        score = [-math.inf] * (n + 1)
        chosen = [0] * (n + 1)
        back = [0] * (n + 1)
        last = [0] * (n + 1)
        score[0] = 0.0
        for s in range(n):
            if score[s] == -math.inf:
                continue
            ctx = last[s]

            def offer(t, e):
                pair = 0.0
                if self.weight > 0 and ctx != 0:
                    pair = self.bigrams.get((ctx - 1, t), UNSEEN_PAIR_SCORE)
                value = score[s] + self.log_prob(t)
                value += self.weight * pair
                if value > score[e]:
                    score[e], chosen[e], back[e], last[e] = value, t, s, t + 1

            stepped, found = self.walk(data, s)
            for t, e in found:
                offer(t, e)
            if not stepped:
                offer(data[s], s + 1)
        if score[n] == -math.inf:
            return self.greedy(data)
        return self._back(chosen, back, n)

    def dense(self, data: bytes) -> list[int]:
        n = len(data)
        if n == 0:
            return []
        unreachable = 0xFFFFFFFF
        count = [unreachable] * (n + 1)
        chosen = [0] * (n + 1)
        back = [0] * (n + 1)
        count[0] = 0
        for s in range(n):
            if count[s] == unreachable:
                continue
            c = count[s] + 1
            stepped, found = self.walk(data, s)
            if not stepped:
                found = [(data[s], s + 1)]
            for t, e in found:
                if c < count[e]:
                    count[e], chosen[e], back[e] = c, t, s
        if count[n] == unreachable:
            return self.greedy(data)
        return self._back(chosen, back, n)

    def parallel(self, data: bytes) -> list[int]:
        if len(data) <= PARALLEL_THRESHOLD:
            return self.scored(data)
        ids = []
        for start in range(0, len(data), CHUNK_SIZE):
            ids += self.scored(data[start : start + CHUNK_SIZE])
        return ids

    def offsets(self, ids: list[int]) -> list[tuple[int, int]]:
        out, total = [], 0
        for token_id in ids:
            if token_id >= len(self.table):
                raise IndexFault(len(self.table), token_id)
            end = total + len(self.table[token_id][1])
            out.append((total, end))
            total = end
        return out

    @staticmethod
    def _back(chosen, back, n):
        ids, e = [], n
        while e > 0:
            ids.append(chosen[e])
            e = back[e]
        return ids[::-1]
