/* The dependency of the resolver's test program: two named exports and one by
   ordinal only. The lesser build of the same file exports Alpha alone. */
int Alpha(void) { return 1; }
#ifndef QKZ_LESSER
int Beta(void) { return 2; }
int Hidden(void) { return 5; }
#endif
