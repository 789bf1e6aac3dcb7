# Entry points for newcomers and CI. See README.md.
.PHONY: test deps demo clean

# Installs what is missing, builds linux, linux-asan, win64 and win32, runs every suite.
test:
	@scripts/test-all.sh

deps:
	@scripts/install-deps.sh

clean:
	rm -rf build

demo:
	@echo "make demo: the simulated-board demo arrives with the board simulator and vesk_test; run 'make test' for now"; exit 1
