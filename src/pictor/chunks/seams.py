"""Canny on row stripes: the join of the stripes' boundary components
(both executors run it between the stripes' summaries and their edges).

Canny's hysteresis is global: a weak candidate is an edge when it is
8-connected through candidates to a strong one anywhere in the image. A
stripe runs in three native steps of pictor._chunked: ``canny_cells`` (its
cell states, from the stripe with a halo of 3 rows), ``canny_stripe_summary``
(the components touching its first or last row) and ``canny_stripe_edges``
(its own hysteresis, seeded at its ends). Between the summaries and the edges,
``stripe_seeds`` joins the boundary components across the seams: any path
from one stripe to another crosses the seams through them, so they are all
the image-wide connection needs.
"""

import numpy as np

# A cell of a stripe's last row touches the cells of the next stripe's first
# row in its own column and the two beside it.
SEAM_SHIFTS = (-1, 0, 1)


def stripe_seeds(summaries):
    """The seeds of each stripe's hysteresis, from the summaries
    (``canny_stripe_summary``'s (top_labels, bottom_labels, strong, count)) of
    consecutive full-width stripes of one image, in order from the top: a list
    of (top_seeds, bottom_seeds) per stripe, bool[cols] each, True where a
    cell of the stripe's first (last) row lies in a component that holds a
    strong cell in some stripe."""
    offsets = np.cumsum([0] + [int(summary[3]) + 1 for summary in summaries])
    ends = _seam_pairs(summaries, offsets)
    root = _component_roots(int(offsets[-1]), *ends)
    strong = np.concatenate([np.asarray(summary[2], bool) for summary in summaries])
    root_holds_strong = np.zeros(root.size, bool)
    root_holds_strong[root[strong]] = True
    kept = root_holds_strong[root]
    return [(kept[offset + top], kept[offset + bottom])
            for offset, (top, bottom, _, _) in zip(offsets[:-1], summaries)]


def _seam_pairs(summaries, offsets):
    """(upper, lower): the global numbers of the components that touch across
    each seam, one pair per touching pair of cells."""
    uppers, lowers = [np.zeros(0, np.int64)], [np.zeros(0, np.int64)]
    for index in range(len(summaries) - 1):
        above, below = summaries[index][1], summaries[index + 1][0]
        cols = len(above)
        for shift in SEAM_SHIFTS:
            upper = above[max(0, -shift):cols - max(0, shift)]
            lower = below[max(0, shift):cols - max(0, -shift)]
            touching = (upper > 0) & (lower > 0)
            uppers.append(upper[touching] + offsets[index])
            lowers.append(lower[touching] + offsets[index + 1])
    return np.concatenate(uppers), np.concatenate(lowers)


def _component_roots(count, upper, lower):
    """The smallest node of each node's connected component in the graph of
    `count` nodes with edges (upper[i], lower[i]): each root touching smaller
    roots is hooked under the smallest of them, then pointers jump until every
    node points at its root; repeated until no edge joins two roots."""
    root = np.arange(count, dtype=np.int64)
    while True:
        a, b = root[upper], root[lower]
        joining = a != b
        if not joining.any():
            return root
        np.minimum.at(root, np.maximum(a, b)[joining], np.minimum(a, b)[joining])
        while True:
            jumped = root[root]
            if np.array_equal(jumped, root):
                break
            root = jumped
