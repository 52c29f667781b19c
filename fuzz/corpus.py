"""What the atheris targets share: a starting corpus made from a target's seeds."""
import pathlib


def argv_with_seed_corpus(argv: list, work: pathlib.Path, seeds: list) -> list:
    """`argv` as given when it names a corpus directory; otherwise with one added, made in
    `work` from `seeds`."""
    argv = list(argv)
    if not any(not a.startswith("-") for a in argv[1:]):
        corpus = work / "corpus"
        corpus.mkdir()
        for i, seed in enumerate(seeds):
            (corpus / f"seed{i}").write_bytes(seed)
        argv.append(str(corpus))
    return argv
