"""The plan of every method on full-width row stripes, and the engine that
runs a pipeline's plan without Dask.

methods   each method's route, result type, halo of rows and statistic tables
tasks     what runs on one block of rows (or on the blocks' partial results)
plan      a pipeline's steps as stripe steps: Local (rows from the rows around
          them) or Gathered (a statistic of the whole input first)
engine    the stripes flowing through a plan, pass by pass
canny     Canny's hysteresis joined across the stripes' seams
files     image files in and out of a streamed pipeline

pictor.dask builds its graphs from the same methods and tasks.
"""
