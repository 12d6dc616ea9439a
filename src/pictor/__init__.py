"""Fast, exact 2-D image operations on NumPy arrays."""
