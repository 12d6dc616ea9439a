"""Every image file pictor reads and writes, for every path that writes one
(the command line's batch and --chunked runs, pipelines' run_file, the
cluster batch, pictor.dask's stores):

- kinds: suffixes and kinds of file, compressions and tile sizes;
- safety: the one rule (never over an input, never over an existing result
  unasked, nothing half-written under the final name, leftovers of killed
  runs removed) and the temporary names it writes under;
- images: whole images (TIFF pages with their tags, PNG, JPEG, BMP);
- tiff: TIFF read in regions or bands and written tile row by tile row;
- stores: a file as an array read region by region, plain Zarr arrays;
- ome_tiff, ome_zarr: OME images with their named axes and metadata;
- metadata: how an operation changes pixel sizes, origin and display range.

The executors (pictor.stream, pictor.dask) and the command line read and
write only through these modules.
"""
