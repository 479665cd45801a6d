# Front door. Every target installs what is missing first, and says what it
# is doing; the build itself shows only warnings and errors.
PRESETS ?= win32 win64 native

.PHONY: test build deps packages run stop screenshot sdk bench fuzz clean

test: build
	@scripts/test.sh $(PRESETS)

build: packages
	@for p in $(PRESETS); do scripts/build.sh $$p || exit 1; done

run: packages
	@COMPONENTS="$(COMPONENTS)" READY_SECONDS="$(READY_SECONDS)" scripts/run.sh $(ARGS)

stop:
	@scripts/run.sh --stop

# The README's pictures, from the sample shell on a virtual screen.
screenshot: packages
	@scripts/screenshot.sh

sdk: packages
	@scripts/sdk.sh

# deps also starts a Windows program of each bitness and says which run here.
deps:
	@scripts/install-deps.sh --check

packages:
	@scripts/install-deps.sh

bench: packages
	@scripts/bench.sh

fuzz: packages
	@scripts/fuzz.sh $(SECONDS)

clean:
	rm -rf build dist
