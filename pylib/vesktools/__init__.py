"""What the project's Python tools share: VGM files (vgm), the independent
decoder of a song's writes (decoder), what a simulated board's slot received
(slots), the player's timing figures against a file (figures), the test bed's
runs and results (bed) and the stream analysis (stream_analysis). Imports
nothing from tests/, bench/ or scripts/; CTest, the Makefile and the shell
scripts put this folder's parent on PYTHONPATH (scripts/py for a tool run by
hand)."""
