# Front door. Every target installs what is missing first.
PRESETS ?= win32 win64 native
JOBS    ?= $(shell nproc)

.PHONY: test build deps run bench fuzz clean

test: build
	@for p in $(PRESETS); do \
	  echo "== ctest --preset $$p"; \
	  ctest --preset $$p -j $(JOBS) || exit 1; \
	done

build: deps
	@for p in $(PRESETS); do \
	  cmake --preset $$p >/dev/null && cmake --build --preset $$p -j $(JOBS) || exit 1; \
	done

run:
	@scripts/run.sh $(ARGS)

deps:
	@scripts/install-deps.sh

bench: deps
	@scripts/bench.sh

fuzz: deps
	@scripts/fuzz.sh $(SECONDS)

clean:
	rm -rf build
