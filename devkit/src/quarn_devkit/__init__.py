"""What the tests, the demo and the benchmarks of the quarn lock backends share."""
