from pictor.cli import main

raise SystemExit(main())
