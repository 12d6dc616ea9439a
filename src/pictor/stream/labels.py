"""The steps of the package's functions of pictor._segmentation on images in
pieces: a threshold from the whole image's level counts, and connected
components of row stripes labelled on their own, joined at their seams and
renumbered in scan order."""

import numpy as np

import pictor._chunked as _chunked  # registered by lumenops
import pictor._segmentation as _segmentation  # registered by lumenops


def threshold_table(counts, method):
    """The 0 / 65535 table of the levels (256 or 65,536) of the whole image's counts."""
    return _segmentation.threshold_table(np.asarray(counts).reshape(-1), method)


def mapped_block(block, table):
    """Each sample through the table of its level (uint8 samples are their own working level)."""
    return (_chunked.map_levels if block.dtype == np.uint16 else _chunked.map_working_levels)(block, table)


def stripe_summary(stripe, connectivity):
    """(count, first row, last row) of the stripe's own labels."""
    labels, count = _segmentation.label(stripe, connectivity)
    return count, labels[0], labels[-1]


def joined_stripes(summaries, connectivity):
    """(joined, finals, offsets) of the stripes' summaries, in order:
    pictor._segmentation.join_label_stripes and where each stripe's
    provisional labels start."""
    counts = np.array([count for count, _, _ in summaries], np.int64)
    joined, finals, _ = _segmentation.join_label_stripes(
        counts, np.stack([first for _, first, _ in summaries]), np.stack([last for _, _, last in summaries]),
        connectivity)
    return joined, finals, np.concatenate([[0], np.cumsum(counts)])


def renumbered_stripe(stripe, joined_stripes_statistic, index, connectivity):
    """The labels of stripe `index` as the whole image's."""
    joined, finals, offsets = joined_stripes_statistic
    labels, _ = _segmentation.label(stripe, connectivity)
    start, stop = np.searchsorted(joined, [offsets[index] + 1, offsets[index + 1] + 1])
    return _segmentation.renumber_label_stripe(labels, int(offsets[index]), int(start), joined[start:stop],
                                               finals[start:stop])
