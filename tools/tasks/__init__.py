"""The project's tasks (tests, harnesses, Windows, wheels, benchmarks), as the
sessions of noxfile.py run them."""
