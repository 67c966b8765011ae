"""Point sets of the benchmarks: n fitted points and m fresh queries from the
same distribution, on the unit torus."""


def uniform(rng, n, m, d):
    return rng.random((n, d)), rng.random((m, d))


def blobs(rng, n, m, d, sigma, centres=1000):
    c = rng.random((centres, d))
    draw = lambda count: (c[rng.integers(0, centres, count)] + rng.normal(0, sigma, (count, d))) % 1.0
    return draw(n), draw(m)


def subtorus(rng, n, m, d, dim=3):
    # A closed 3-dimensional sub-torus: integer directions wrap it onto itself.
    a = rng.integers(-2, 3, (dim, d))
    draw = lambda count: (rng.random((count, dim)) @ a) % 1.0
    return draw(n), draw(m)
