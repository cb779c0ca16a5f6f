/* korvex-bench-baseline - the benchmark's yardstick: a statically linked program that does
   nothing, started exactly as korvex-plesk is, so that its cost is that of starting any
   process at all. */
int main(void) { return 0; }
