import sys
from pathlib import Path

# The plain-Python reading and the outcome helpers live beside the tests.
sys.path.insert(0, str(Path(__file__).parent))
