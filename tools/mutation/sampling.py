"""A seeded sample of mutants spread over the folders by their size, the same for the
same code and seed whatever order the mutants were made in."""

import random


def shares(sizes, count):
    """Mutants per folder: count split in proportion to sizes (largest remainders), at
    least one for every folder while count allows."""
    folders = sorted(f for f, size in sizes.items() if size > 0)
    if not folders or count <= 0:
        return {}
    total = sum(sizes[f] for f in folders)
    floor = 1 if count >= len(folders) else 0
    spare = count - floor * len(folders)
    exact = {f: spare * sizes[f] / total for f in folders}
    quota = {f: floor + int(exact[f]) for f in folders}
    left = count - sum(quota.values())
    for folder in sorted(folders, key=lambda f: (int(exact[f]) - exact[f], f))[:left]:
        quota[folder] += 1
    return quota


def sample(mutants, sizes, count, seed):
    """count of the mutants, drawn per folder (mutant.folder) by shares of sizes; a
    folder with fewer mutants than its share gives the rest to the others in turn."""
    by_folder = {}
    for mutant in sorted(mutants, key=lambda m: m.identity):
        by_folder.setdefault(mutant.folder, []).append(mutant)
    sizes = {f: sizes.get(f, 0) for f in by_folder}
    quota = shares(sizes, min(count, len(mutants)))
    # Shares a folder cannot fill go to the largest folders that still have mutants.
    short = sum(max(0, q - len(by_folder[f])) for f, q in quota.items())
    quota = {f: min(q, len(by_folder[f])) for f, q in quota.items()}
    while short:
        open_folders = sorted((f for f in by_folder if quota[f] < len(by_folder[f])),
                              key=lambda f: (-sizes[f], f))
        if not open_folders:
            break
        for folder in open_folders[:short]:
            quota[folder] += 1
            short -= 1
    # Each folder's mutants in an order of its own drawn from the seed, its share taken
    # from the front: a smaller sample of the same seed is part of a larger one.
    chosen = []
    for folder in sorted(by_folder):
        order = list(by_folder[folder])
        random.Random(f"{seed}:{folder}").shuffle(order)
        chosen += order[:quota.get(folder, 0)]
    return chosen
