"""Full-depth recipes: equalisation, stretching and threshold searches over 65,536 levels."""

KEYWORD_CASES = {}
BINARY = set()
