# Entry points for newcomers and CI. See README.md.
.PHONY: test deps demo bench clean

# Installs what is missing, builds linux, linux-asan, win64 and win32 (benchmarks
# included), runs every suite.
test:
	@scripts/test-all.sh

deps:
	@scripts/install-deps.sh

clean:
	rm -rf build

# Benchmarks from the release presets, natively and under Wine, as one table.
bench:
	@scripts/bench.sh

# Two simulated boards played end to end by vesk_test.exe under Wine (needs root).
demo:
	@scripts/demo.sh
