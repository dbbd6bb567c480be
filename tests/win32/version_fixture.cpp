int FixtureValue() { return 1; }
