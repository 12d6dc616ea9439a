"""Full-depth recipes: sharpening, tone effects and super-resolution."""

KEYWORD_CASES = {}
BINARY = set()
