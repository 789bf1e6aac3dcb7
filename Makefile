# Entry points for newcomers and CI. See README.md.
.PHONY: test deps demo bench fidelity audio-check fuzz soak clean dist docs

# The Python tools import the project's package, pylib/vesktools.
export PYTHONPATH := $(CURDIR)/pylib$(if $(PYTHONPATH),:$(PYTHONPATH))

# Installs what is missing, builds linux, linux-asan, linux-tsan, linux-fuzz,
# win64 and win32 (benchmarks included), runs every suite and the fuzz targets
# briefly.
test:
	@scripts/test-all.sh

deps:
	@scripts/install-deps.sh

clean:
	rm -rf build dist

# The packages, in dist/: vesk-<version>-windows.zip (x64 and x86) and
# vesk_<version>_amd64.deb, with the user guide.
dist:
	@scripts/dist.sh

# Benchmarks from the release presets, natively and under Wine, as one table.
bench:
	@scripts/bench.sh

# The fuzz targets over their corpora and then FUZZ_SECONDS (default 45) each
# of fuzzing: executions, coverage and crashes per target.
fuzz:
	@scripts/fuzz.sh

# The demo tune played by vesk_play.exe under Wine to two simulated boards,
# then what they played: figures, demo.wav and demo.png (needs root).
demo:
	@scripts/demo.sh

# Excerpts of every corpus song played to simulated boards natively and under
# Wine, tables of timing figures per platform and path (needs root;
# SECONDS=10, SONGS="a.vgm b.vgz" to choose), then a summary of them. x86 is
# played when build/win32 has it. Each platform plays the songs timed (the
# player hands the library each write's time) and paced (vesk_play --paced):
# PATHS=timed or PATHS=paced plays one. PLATFORMS=native,win64; LOAD=N busy
# processes beside the player; every board's BUFFER=bytes, JITTER=ms,
# PPM=clock error; BUILDS=native-before=DIR plays a platform from another
# build tree too.
SECONDS ?= 10
fidelity:
	@cmake --preset linux > /dev/null && cmake --build build/linux -j2 --target vesk_sim vesk_play vesk > /dev/null
	@cmake --preset win64 > /dev/null && cmake --build build/win64 -j2 --target vesk_play vesk > /dev/null
	@bench/fidelity.py --seconds $(SECONDS) $(if $(PLATFORMS),--platforms $(PLATFORMS)) $(if $(PATHS),--paths $(PATHS)) \
	  $(if $(LOAD),--load $(LOAD)) $(if $(BUFFER),--buffer $(BUFFER)) $(if $(JITTER),--jitter $(JITTER)) \
	  $(if $(PPM),--ppm $(PPM)) $(if $(BUILDS),--builds $(BUILDS)) $(SONGS)

# The libgme audio check on corpus songs played over the test bed (needs root):
# each excerpt as the board played it against the file, natively.
audio-check:
	@cmake --preset linux >/dev/null && cmake --build --preset linux --target vesk_play vgm_render vesk_sim vesk >/dev/null
	@python3 tests/audio/bed_audio_check.py --testbed tools/testbed/testbed.sh --sim build/linux/bin/vesk_sim \
	  --player build/linux/bin/vesk_play --library build/linux/bin/libvesk.so --render build/linux/bin/vgm_render \
	  --corpus ../shared/corpus

# Two songs looping on two simulated boards with requests from another
# thread for 10 minutes (SOAK_SECONDS=600), natively: lost or reordered
# writes, memory, threads and handles (needs root).
SOAK_SECONDS ?= 600
soak:
	@cmake --preset linux >/dev/null && cmake --build --preset linux --target soak_host vesk_sim vesk >/dev/null
	@python3 tests/soak/soak_e2e.py --seconds $(SOAK_SECONDS) --testbed tools/testbed/testbed.sh \
	  --sim build/linux/bin/vesk_sim --host build/linux/bin/soak_host --library build/linux/bin/libvesk.so \
	  --config tests/soak/soak.toml

# The user guide's tray pictures, taken from the x64 library under Wine while
# it plays the demo tune to simulated boards (docs/images; needs root), and
# the guide as one HTML page, build/docs/user-guide.html.
docs:
	@scripts/install-deps.sh
	@cmake --preset linux >/dev/null && cmake --build build/linux -j2 --target vesk_sim >/dev/null
	@cmake --preset win64 >/dev/null && cmake --build build/win64 -j2 --target vesk vesk_play >/dev/null
	@scripts/tray_screenshots.sh --build build/win64 --sim build/linux/bin/vesk_sim --out docs/images
	@mkdir -p build/docs && scripts/render_guide.py docs/user-guide.md build/docs/user-guide.html
