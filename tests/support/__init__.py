"""What the core's tests stand on.

- `reference`: the analysis functions as plain Python, statement for
  statement: the oracle of every comparison;
- `outcome`: what a call did, and `assert_same_outcome`, the one comparison
  of the module's outcome with the reading's;
- `paths`: which path served a call (the module's fast path or its generic
  body), and the stand-ins that send calls to the generic bodies;
- `field_records`: records as the field produces them, and one ordinary call
  of every function;
- `edge_records`: records at the edges of the native loops, in every memory
  layout they meet;
- `isolation`: the pytest plugin that runs tests of native code in a forked
  worker, so that a crash fails its own test and no other.
"""
