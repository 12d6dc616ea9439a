"""The stream executor: a pipeline's routes (pictor.chunks) as steps on
full-width row stripes, run without Dask, in memory and out of core.

plan      a pipeline's steps as stripe steps: each route's stripe form, Local
          (rows from the rows around them) or Gathered (a statistic of the
          whole input first)
engine    the stripes flowing through a plan, pass by pass
files     image files in and out of a streamed pipeline

The graph executor (for clusters) makes graphs of the same routes; the two
never import each other.
"""
