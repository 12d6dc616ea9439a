"""What `pictor list` and the first lines of the descriptions say: the
default (full depth), and searches on each operation's own words."""

import argparse

import pytest

import pictor
from pictor.functions import image_functions
from pictor.cli.operations import UsageError, command_list, first_sentence


@pytest.mark.parametrize("name", [name for name in pictor.__all__ if getattr(pictor, name).full_depth])
def test_first_sentence_speaks_of_the_default(name):
    sentence = first_sentence(getattr(pictor, name).__doc__)
    assert "working copy" not in sentence and "8 bits" not in sentence, sentence


@pytest.mark.parametrize("word, listed, not_listed", [
    ("threshold", {"maximum_inter_class_variance_segmentation", "adaptive_threshold_segmentation",
                   "local_histogram_threshold_segmentation", "maximum_entropy_threshold_segmentation"},
     {"gaussian_blur", "auto_level", "rotate"}),
    # in every description, but no tool function's own word; the volume filters' own
    ("axes", {"gaussian_filter", "median_filter", "uniform_filter"}, set(image_functions())),
    ("KSIZE", {"gaussian_blur", "adaptive_threshold_segmentation"}, {"auto_level"}),
])
def test_list_matches_the_operations_own_words(capsys, word, listed, not_listed):
    if not listed:
        with pytest.raises(UsageError, match="no operation mentions"):
            command_list(argparse.Namespace(word=word))
        return
    command_list(argparse.Namespace(word=word))
    names = {line.split("(")[0] for line in capsys.readouterr().out.splitlines()}
    assert listed <= names and not names & not_listed, names
