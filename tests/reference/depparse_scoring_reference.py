"""Eager PyTorch reference of the dependency parser's scoring and decoding.

Scoring follows the deep biaffine algorithm step by step (ones columns,
reshaped bilinear weight, two matrix products), then the linearization and
distance terms, the diagonal and padding masks and the normalisations; the
batched form pads sentences into longest-first batches under a padded-row
budget. Decoding is the recursive Chu-Liu/Edmonds algorithm with Tarjan's
cycle search, the ROOT bias and the subject/object head repair, in plain
Python floats. Nothing here is shared with the C++ code.

    depparse_scoring_reference.py OUT_DIR

writes one "depparse" bundle: per scoring case the scorer weights
("<case>.<scorer>.W1.weight", ...), the input "<case>.x", the optional mask,
and the expected "<case>.arcs" and "<case>.relations"; the batched case's
sentences "many.x<i>" with "many.arcs<i>" and "many.relations<i>"; a long
sentence "long.x" with its "long.arcs"; and
random score pairs "<parse>.arcs", "<parse>.relations". The assets describe
the cases and hold the expected parses (heads and relation names) or errors,
and the float64 gap of every scoring case, of the batched case and of the
long sentence: how far
the float32 scores lie from the same scoring in float64 on the same weights
and inputs (bundle_reference).
"""

from __future__ import annotations

import math
import sys
from pathlib import Path

import torch
import torch.nn.functional as F

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fixtures"))
sys.path.insert(0, str(Path(__file__).resolve().parent))
import bundle_reference  # noqa: E402
import bundle_writer  # noqa: E402

HIDDEN = 9
RELATIONS = ["<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "nsubj", "obj", "csubj:pass", "nsubj:outer",
             "det", "obl", "root"]
CLASSES = len(RELATIONS) - 4
INF = math.inf


# ---------------------------------------------------------------- scoring

def scorer_weights(prefix, dep_dim, head_dim, outputs, dtype, gen):
    def rand(*shape):
        return (torch.randn(*shape, generator=gen, dtype=torch.float64) * 0.6).to(dtype)
    return {f"{prefix}.W1.weight": rand(dep_dim, HIDDEN), f"{prefix}.W1.bias": rand(dep_dim),
            f"{prefix}.W2.weight": rand(head_dim, HIDDEN), f"{prefix}.W2.bias": rand(head_dim),
            f"{prefix}.scorer.W_bilin.weight": rand(dep_dim + 1, head_dim + 1, outputs),
            f"{prefix}.scorer.W_bilin.bias": rand(outputs)}


def deep_biaffine(x, w, name):
    h1 = F.relu(F.linear(x, w[name + ".W1.weight"], w[name + ".W1.bias"]))
    h2 = F.relu(F.linear(x, w[name + ".W2.weight"], w[name + ".W2.bias"]))
    ones = torch.ones(x.shape[0], x.shape[1], 1, dtype=x.dtype)
    a, b = torch.cat([h1, ones], 2), torch.cat([h2, ones], 2)
    weight = w[name + ".scorer.W_bilin.weight"]
    p, q, o = weight.shape
    t = (a @ weight.reshape(p, q * o)).reshape(x.shape[0], x.shape[1], q, o).permute(0, 1, 3, 2)
    u = (t @ b.transpose(1, 2).unsqueeze(1)).permute(0, 1, 3, 2)
    return u + w[name + ".scorer.W_bilin.bias"]


def score_encoded(x, w, flags, mask=None):
    length = x.shape[1]
    unlabeled = deep_biaffine(x, w, "unlabeled").squeeze(3)
    relation = deep_biaffine(x, w, "deprel")
    r = torch.arange(length, dtype=torch.int64)
    offset = r.view(1, 1, length) - r.view(1, length, 1)
    if flags["linearization"]:
        lin = deep_biaffine(x, w, "linearization").squeeze(3)
        unlabeled = unlabeled + F.logsigmoid(lin * torch.sign(offset).to(x.dtype))
    if flags["distance"]:
        dist = deep_biaffine(x, w, "distance").squeeze(3)
        predicted = F.softplus(dist, 1, 20) + 1
        unlabeled = unlabeled - torch.log((offset.abs().to(x.dtype) - predicted) ** 2 / 2 + 1)
    unlabeled = unlabeled.masked_fill(torch.eye(length, dtype=torch.bool).unsqueeze(0), -INF)
    if mask is not None:
        unlabeled = unlabeled.masked_fill(~mask.unsqueeze(1), -INF)
    return F.log_softmax(unlabeled, 2), F.log_softmax(relation, 3)


def score_encoded_many(encoded, w, flags, batch_size):
    order = sorted(range(len(encoded)), key=lambda i: -encoded[i].shape[1])
    results, start = {}, 0
    while start < len(order):
        length = encoded[order[start]].shape[1]
        end = start + 1
        while end < len(order) and length * (end - start + 1) <= batch_size:
            end += 1
        batch = order[start:end]
        padded = torch.zeros(len(batch), length, HIDDEN, dtype=encoded[batch[0]].dtype)
        mask = torch.zeros(len(batch), length, dtype=torch.bool)
        for j, i in enumerate(batch):
            n = encoded[i].shape[1]
            padded[j, :n] = encoded[i][0]
            mask[j, :n] = True
        arcs, rels = score_encoded(padded, w, flags, mask)
        for j, i in enumerate(batch):
            n = encoded[i].shape[1]
            results[i] = (arcs[j, :n, :n].unsqueeze(0).contiguous(), rels[j, :n, :n].unsqueeze(0).contiguous())
        start = end
    return [results[i] for i in range(len(encoded))]


# ---------------------------------------------------------------- decoding

class ParseError(Exception):
    pass


def argmax(values):
    best = 0
    for k in range(1, len(values)):
        if values[k] > values[best]:
            best = k
    return best


def tarjan_cycles(heads):
    n = len(heads)
    successors = [[w for w in range(n) if heads[w] == v] for v in range(n)]
    index, low, on_stack, stack, cycles, counter = [None] * n, [0] * n, [False] * n, [], [], [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on_stack[v] = True
        for w in successors[v]:
            if index[w] is None:
                visit(w)
                low[v] = min(low[v], low[w])
            elif on_stack[w]:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack[w] = False
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                cycles.append(sorted(component))

    for v in range(n):
        if index[v] is None:
            visit(v)
    return cycles


def maximum_spanning_tree(scores):
    scores = [list(row) for row in scores]
    n = len(scores)
    for i in range(n):
        scores[i][i] = -INF
    scores[0] = [-INF] * n
    scores[0][0] = 0.0
    heads = [argmax(row) for row in scores]
    cycles = tarjan_cycles(heads)
    if not cycles:
        return heads
    cycle = cycles[-1]
    rest = [v for v in range(n) if v not in cycle]
    m = len(rest)
    inside = [scores[c][heads[c]] for c in cycle]
    total = 0.0
    for value in inside:
        total += value
    enter, leave = [], []
    contracted = [[0.0] * (m + 1) for _ in range(m + 1)]
    for j, node in enumerate(rest):
        entering = [(scores[c][node] - inside[k]) + total for k, c in enumerate(cycle)]
        leaving = [scores[node][c] for c in cycle]
        enter.append(argmax(entering))
        leave.append(argmax(leaving))
        for i, other in enumerate(rest):
            contracted[j][i] = scores[node][other]
        contracted[j][m] = leaving[leave[j]]
        contracted[m][j] = entering[enter[j]]
    h = maximum_spanning_tree(contracted)
    result = [None] * n
    for j, node in enumerate(rest):
        result[node] = cycle[leave[j]] if h[j] >= m else rest[h[j]]
    for c in cycle:
        result[c] = heads[c]
    result[cycle[enter[h[m]]]] = rest[h[m]]
    return result


def decode_single_root(scores):
    finite = [v for row in scores for v in row if math.isfinite(v)]
    if not finite:
        raise ParseError("dependency scores contain no finite value")
    low, n = min(finite), len(scores)
    biased = [[v + n * low if j == 0 else v for j, v in enumerate(row)] for row in scores]
    heads = maximum_spanning_tree(biased)
    if sum(1 for h in heads[1:] if h == 0) != 1:
        raise ParseError("single-root dependency decoding did not produce one root")
    return heads


GROUPS = {"nsubj": "subj", "csubj": "subj", "nsubj:pass": "subj", "csubj:pass": "subj",
          "nsubj:outer": "subj_outer", "csubj:outer": "subj_outer", "obj": "obj"}


def best_allowed(row, groups, barred):
    best, label = -INF, -1
    for r, value in enumerate(row):
        if groups[r] is not None and groups[r] in barred:
            continue
        if value > best:
            best, label = value, r
    if not math.isfinite(best):
        raise ParseError("head constraints excluded every dependency relation")
    return label, best


def labels_for_tree(heads, rel, groups, excluded):
    return [best_allowed(rel[i][heads[i]], groups, excluded.get((i, heads[i]), set()))[0]
            for i in range(1, len(heads))]


def find_violations(heads, labels):
    found = []
    for i in range(1, len(heads)):
        group = GROUPS.get(RELATIONS[labels[i - 1] + 4])
        if group is None:
            continue
        for v in found:
            if v[0] == heads[i] and v[1] == group:
                v[2].append(i)
                break
        else:
            found.append((heads[i], group, [i]))
    return [v for v in found if len(v[2]) >= 2]


def resolve_head_constraints(arcs, rel, heads):
    n = len(heads)
    groups = [GROUPS.get(RELATIONS[r + 4]) for r in range(len(rel[0][0]))]
    excluded = {}
    labels = labels_for_tree(heads, rel, groups, excluded)
    for _ in range(5):
        violations = find_violations(heads, labels)
        if not violations:
            break
        head, group, dependents = violations[0]
        best = None
        for keeper in range(len(dependents)):
            others = [d for t, d in enumerate(dependents) if t != keeper]
            candidate = [list(row) for row in arcs]
            for d in others:
                for h in range(n):
                    barred = excluded.get((d, h), set()) | ({group} if h == head else set())
                    candidate[d][h] = arcs[d][h] + best_allowed(rel[d][h], groups, barred)[1]
            cand_heads = decode_single_root(candidate)
            cand_labels = labels_for_tree(cand_heads, rel, groups, excluded)
            for d in others:
                if cand_heads[d] == head:
                    barred = excluded.get((d, head), set()) | {group}
                    cand_labels[d - 1] = best_allowed(rel[d][head], groups, barred)[0]
            total = 0.0
            for i in range(1, n):
                total += rel[i][cand_heads[i]][cand_labels[i - 1]] + arcs[i][cand_heads[i]]
            if best is None or total > best[0]:
                best = (total, cand_heads, cand_labels, others)
        _, heads, labels, others = best
        for d in others:
            excluded.setdefault((d, head), set()).add(group)
    return heads, labels


def parse_scored(arcs, relations):
    """Expected result of parsing score tensors: {"heads", "deprels"} or {"error"}."""
    u = arcs.squeeze(0).double().tolist()
    rel = relations.squeeze(0).double().tolist()
    try:
        heads, labels = resolve_head_constraints(u, rel, decode_single_root(u))
    except ParseError as error:
        return {"error": str(error)}
    return {"heads": heads[1:], "deprels": [RELATIONS[label + 4] for label in labels]}


# ---------------------------------------------------------------- cases

SCORING_CASES = [  # name, dependent width, head width, flags, batch lengths (None: no mask), dtype
    ("plain", 5, 7, {"linearization": False, "distance": False}, [6, 4, 2], torch.float32),
    ("order", 5, 7, {"linearization": True, "distance": False}, None, torch.float32),
    ("both", 5, 7, {"linearization": True, "distance": True}, [7, 7, 3], torch.float32),
    ("distance", 5, 7, {"linearization": False, "distance": True}, None, torch.float32),
    ("square", 6, 6, {"linearization": True, "distance": True}, [5, 2], torch.float32),
    ("double", 5, 7, {"linearization": True, "distance": True}, [6, 3], torch.float64),
]
MANY_WORDS = [4, 0, 2, 8, 1, 3, 4]
MANY_BATCH = 10
LONG_WORDS = 1100  # more than 2^20 arc cells: the scorer computes them a block of rows at a time


def case_weights(name, dep, head, flags, dtype, gen):
    weights = {}
    for scorer, outputs in (("unlabeled", 1), ("deprel", CLASSES), ("linearization", 1), ("distance", 1)):
        if scorer in ("unlabeled", "deprel") or flags[scorer]:
            weights.update(scorer_weights(f"{name}.{scorer}", dep, head, outputs, dtype, gen))
    return weights


def strip(weights, name):
    return {key[len(name) + 1:]: value for key, value in weights.items()}


def random_scores(n, gen, dtype, group_bias):
    logits = torch.randn(n, n, generator=gen, dtype=torch.float64) * 2
    arcs = F.log_softmax(logits.masked_fill(torch.eye(n, dtype=torch.bool), -INF), 1)
    relation_logits = torch.randn(n, n, CLASSES, generator=gen, dtype=torch.float64)
    relation_logits[:, :, :4] += group_bias  # make subjects and objects common
    return arcs.to(dtype), F.log_softmax(relation_logits, 2).to(dtype)


def scores_gap(scores, x, weights, flags, mask=None):
    """How far float32 (arc, relation) scores lie from the same scoring's in float64."""
    with bundle_reference.float64_twin():
        widened = {name: bundle_reference.widened(value) for name, value in weights.items()}
        exact = score_encoded(bundle_reference.widened(x), widened, flags, mask)
    return bundle_reference.float64_gap(scores, exact)


def main(out_dir):
    torch.set_num_threads(1)
    gen = torch.Generator().manual_seed(20240611)
    tensors, assets_cases = {}, []
    weights_by_case = {}
    for name, dep, head, flags, lengths, dtype in SCORING_CASES:
        weights = case_weights(name, dep, head, flags, dtype, gen)
        weights_by_case[name] = (weights, flags)
        tensors.update(weights)
        batch = len(lengths) if lengths else 1
        length = max(lengths) if lengths else 5
        x = torch.randn(batch, length, HIDDEN, generator=gen, dtype=torch.float64).to(dtype)
        mask = None
        if lengths:
            mask = torch.arange(length).unsqueeze(0) < torch.tensor(lengths).unsqueeze(1)
            tensors[f"{name}.mask"] = mask
        arcs, rels = score_encoded(x, strip(weights, name), flags, mask)
        tensors.update({f"{name}.x": x, f"{name}.arcs": arcs, f"{name}.relations": rels})
        assets_cases.append({"name": name, **flags, "mask": mask is not None,
                             "float64_gap": scores_gap((arcs, rels), x, strip(weights, name), flags, mask)})

    weights, flags = weights_by_case["both"]
    encoded = [torch.randn(1, words + 1, HIDDEN, generator=gen) for words in MANY_WORDS]
    nonempty = [i for i, words in enumerate(MANY_WORDS) if words > 0]
    scored = score_encoded_many([encoded[i] for i in nonempty], strip(weights, "both"), flags, MANY_BATCH)
    many_parses, many_gap = {}, 0.0
    for i, (arcs, rels) in zip(nonempty, scored):
        tensors.update({f"many.arcs{i}": arcs, f"many.relations{i}": rels})
        many_parses[str(i)] = parse_scored(arcs, rels)
        many_gap = max(many_gap, scores_gap((arcs, rels), encoded[i], strip(weights, "both"), flags))
    for i, x in enumerate(encoded):
        tensors[f"many.x{i}"] = x
    long_x = torch.randn(1, LONG_WORDS + 1, HIDDEN, generator=gen)
    long_scores = score_encoded(long_x, strip(weights, "both"), flags)
    tensors.update({"long.x": long_x, "long.arcs": long_scores[0]})
    long_gap = scores_gap(long_scores, long_x, strip(weights, "both"), flags)

    parse_cases = []
    for k in range(60):
        n = 2 + k % 11
        dtype = torch.float64 if k % 5 == 4 else torch.float32
        arcs, rels = random_scores(n, gen, dtype, group_bias=2.5 if k % 3 else 0.0)
        if k % 4 == 0:
            arcs = arcs.unsqueeze(0)
            rels = rels.unsqueeze(0)
        tensors.update({f"p{k}.arcs": arcs, f"p{k}.relations": rels})
        parse_cases.append({"name": f"p{k}", **parse_scored(arcs, rels)})

    config = {"scoring_cases": assets_cases, "many_words": MANY_WORDS, "many_batch": MANY_BATCH,
              "many_parses": many_parses, "many_gap": many_gap, "long_words": LONG_WORDS, "long_gap": long_gap,
              "parse_cases": parse_cases}
    bundle_writer.write_bundle(out_dir, processor="depparse", config=config,
                               vocabs={"deprel": RELATIONS}, tensors=tensors)


if __name__ == "__main__":
    main(sys.argv[1])
