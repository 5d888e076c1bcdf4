"""The rehearsal runner: a setup program's driver paths rehearsed under Wine, one concern a
module. rehearse.py (and the kit's rehearse.pyz) runs cli.main."""
