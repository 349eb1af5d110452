# make run   build the release reader and start it (ARGS="..." passes arguments)
# make test  build under AddressSanitizer/UndefinedBehaviorSanitizer and run every test,
#            then the concurrency tests under ThreadSanitizer
# make bench build the release benchmarks and run them
# make fuzz  build the libFuzzer targets with clang and run each for FUZZ_SECONDS

JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
# Real faces to seed the font fuzzer with, read where the Debian package installed them (deps
# installs fonts-dejavu-core) rather than copied into the tree.
FUZZ_FONT_SEEDS ?= /usr/share/fonts/truetype/dejavu
ARGS ?=

.PHONY: run test bench fuzz deps clean

deps:
	@scripts/install-deps

run: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	@if [ -x build/release/bin/quillmere ]; then build/release/bin/quillmere $(ARGS); \
	else echo "quillmere: the reader is not yet runnable (no program entry is built yet)"; exit 1; fi

# The ThreadSanitizer run goes first so that the full suite's summary closes the output.
test: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS) --no-tests=ignore
	cmake --preset debug >/dev/null
	cmake --build --preset debug -j $(JOBS)
	ctest --preset debug -j $(JOBS)

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	@for b in build/release/bin/*_bench; do [ -x "$$b" ] || continue; echo "== $$b"; "$$b" || exit 1; done

fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	@for f in build/fuzz/bin/fuzz_*; do [ -x "$$f" ] || continue; n=$${f##*/fuzz_}; \
	  mkdir -p build/fuzz/corpus/$$n; seeds=""; [ -d fuzz/corpus/$$n ] && seeds=fuzz/corpus/$$n; \
	  [ $$n = font_load ] && seeds="$$seeds $(FUZZ_FONT_SEEDS)"; \
	  echo "== $$f ($(FUZZ_SECONDS) s)"; \
	  "$$f" -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build/fuzz/corpus/$$n $$seeds || exit 1; done

clean:
	rm -rf build
