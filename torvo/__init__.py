"""torvo: trade Chinese futures and options from your own Python program.

This package holds the native core: ``torvo._relay`` (the bridge to the
broker's trader library), ``torvo.ledger`` (account settings and read-only
records), ``torvo.trading`` (the trading session) and ``torvo.data``
(market-data decoding and K-line series).
"""
