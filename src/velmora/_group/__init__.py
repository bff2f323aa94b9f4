"""The parts of :func:`velmora.fit_group`, each one step of empirical Bayes by expectation-maximisation.

``engine`` holds the two calls into the engine; ``data`` packs the participants into the engine's
layout and builds the design; ``estep`` fits every participant under the group prior (Laplace) or
weights draws from those fits (sampling); ``mstep`` sets the group prior from them; ``squarem`` runs
the passes, accelerated, and says why they stopped; ``evidence`` integrates the likelihood over the
fitted prior (iBIC); ``coefficients`` tests the group model's terms; ``table`` writes the
participants' rows; ``result`` is :class:`GroupFit`. Each module imports only those before it
(``engine`` names ``data``'s type for the type checker alone).
"""
